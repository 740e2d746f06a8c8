// report.cpp -- how a result code reaches the script: as the function's value
// (its text or its number) or as a condition, as ZIPERR and ZIPHEADING say;
// and the ERRMSG function.
#include "addon.h"

#include <string.h>

static const uint8_t ZIPHEADING_NAME[] = "\x0aZIPHEADING";
static const uint8_t ZIPERR_NAME[] = "\x06ZIPERR";

static const char BAD_ZIPERR_TEMPLATE[] =
    "ZipErr must be set to SYNTAX, ERROR, FAILURE, NUM, or a USER number from 1 to 200. Found %_";

bool LoadAddonString(uint32_t id, char* buffer, int size)
{
    return LoadStringA(addonInstance, id, buffer, size) > 0;
}

int CompareNoCase(const char* text, const char* keyword, uint32_t length)
{
    for (uint32_t i = 0; i < length; i++) {
        uint8_t a = (uint8_t)(uintptr_t)CharUpperA((LPSTR)(uintptr_t)(uint8_t)text[i]);
        uint8_t b = (uint8_t)(uintptr_t)CharUpperA((LPSTR)(uintptr_t)(uint8_t)keyword[i]);
        if (a != b)
            return (int8_t)(a - b);
    }
    return 0;
}

uint32_t ReportResultCode(CallContext context, FunctionResult* result, uint32_t code)
{
    char message[256];
    if (!LoadAddonString(code, message, sizeof message))
        message[0] = '\0';
    const char* text = message;
    TextSpan found = {nullptr, 0};
    TextSpan* substitution = nullptr;

    uint32_t word = 0;
    const char* heading = hostApi.GetVariable(context, ZIPHEADING_NAME, 0, &word, GETVARIABLE_TEXT);
    if (!heading && word == GETVARIABLE_FAILED) {
        result->condition = OUTCOME_FETCH_FAILED;
        return OUTCOME_FETCH_FAILED;
    }
    uint32_t outcome = heading ? OUTCOME_WITH_HEADING : OUTCOME_WITHOUT_HEADING;

    word = 0;
    const char* choice = hostApi.GetVariable(context, ZIPERR_NAME, 0, &word, GETVARIABLE_TEXT);
    if (!choice) {
        if (word == GETVARIABLE_FAILED) {
            result->condition = OUTCOME_FETCH_FAILED;
            return OUTCOME_FETCH_FAILED;
        }
        result->condition = CONDITION_NONE;
    } else {
        uint32_t length = word;
        uint32_t n = hostApi.TextToNumber(choice, length, 0, TEXTTONUMBER_WHOLE);
        if (n >= 1 && n <= 200) {
            result->condition = CONDITION_USER_BASE + n;
        } else if (length == 3 && CompareNoCase(choice, "NUM", 3) == 0) {
            result->condition = CONDITION_NONE;
            result->value = hostApi.MakeValue(context, 0, code, MAKEVALUE_NUMBER);
            return outcome;
        } else if (length == 5 && CompareNoCase(choice, "ERROR", 5) == 0) {
            result->condition = CONDITION_ERROR;
        } else if (length == 6 && CompareNoCase(choice, "SYNTAX", 6) == 0) {
            // the condition the host preset stands
        } else if (length == 7 && CompareNoCase(choice, "FAILURE", 7) == 0) {
            result->condition = CONDITION_FAILURE;
        } else {
            result->condition = CONDITION_BAD_ZIPERR;
            outcome &= ~OUTCOME_LOW_BITS;
            text = BAD_ZIPERR_TEMPLATE;
            found.text = choice;
            found.length = length;
            substitution = &found;
        }
    }
    if (!result->value)
        result->value = hostApi.MakeValue(context, (uintptr_t)text, (uintptr_t)substitution,
                                          MAKEVALUE_TEMPLATE);
    return outcome;
}

uint32_t HOSTCALL ErrMsgFunction(CallContext context, ArgumentBlock arguments, FunctionResult* result)
{
    uint32_t n = 0;
    if (!hostApi.GetArgument(context, arguments, ARGUMENT_NUMBER + 1, &n)) {
        if (n != 0)
            return HOSTERR_ARG1_NOT_NUMBER;
        n = 0;
    }
    if (n == 0)
        n = RESULT_SUCCESS_TEXT;
    // Only result codes have texts here: the load-failure strings that
    // follow them in the table are not result codes.
    char text[256];
    if (n > RESULT_LAST || !LoadAddonString(n, text, sizeof text))
        LoadAddonString(RESULT_UNKNOWN_TEXT, text, sizeof text);
    result->value = hostApi.MakeValue(context, (uintptr_t)text, (uintptr_t)-1, MAKEVALUE_TEXT);
    return 0;
}
