// fakeaddon.cpp -- a small add-on that drives every slot the real one uses, so the
// host can be tested on its own. It binds at process attach exactly as
// tarvune.dll does and registers its functions under the prefix "FAKE".
#include <windows.h>

#include <cstring>
#include <string>

#include "hostapi.h"

static HostApi api;

static std::string Bytes(const char* text, uint32_t length)
{
    return text != nullptr ? std::string(text, length) : std::string();
}

// Puts `text` into the result through MakeValue's length form.
static void ReturnText(CallContext context, FunctionResult* result, const std::string& text)
{
    char* value = api.MakeValue(context, text.size(), text.size(), MAKEVALUE_LENGTH);
    if (value != nullptr)
        std::memcpy(value, text.data(), text.size());
    result->value = value;
}

static void ReturnNumber(CallContext context, FunctionResult* result, uint32_t number)
{
    result->value = api.MakeValue(context, 0, number, MAKEVALUE_NUMBER);
}

// ECHO(a, b, ...): "[text]" per given argument, "-" per omitted one, for
// positions 1 to 5. A "!" marks slots that disagree about an argument.
static uint32_t HOSTCALL Echo(CallContext context, ArgumentBlock args, FunctionResult* result)
{
    std::string out;
    for (uint32_t position = 1; position <= 5; position++) {
        uint32_t length = 0xFFFFFFFF;
        const char* text = api.GetArgument(context, args, position, &length);
        char* copy = api.GetArgumentText(context, args, position);
        bool present = api.ArgumentPresent(args, position) != 0;
        if (present) {
            out += "[" + Bytes(text, length) + "]";
            if (text == nullptr || copy == nullptr || std::strcmp(copy, text) != 0)
                out += "!";
        } else {
            out += "-";
            if (text != nullptr || length != 0 || copy == nullptr || copy[0] != '\0')
                out += "!";
        }
        api.FreeValue(copy);
    }
    ReturnText(context, result, out);
    return 0;
}

// NUMBER(x): x as a signed number, or "fail <word>".
static uint32_t HOSTCALL Number(CallContext context, ArgumentBlock args, FunctionResult* result)
{
    uint32_t word = 0xFFFFFFFF;
    if (api.GetArgument(context, args, ARGUMENT_NUMBER + 1, &word) != nullptr) {
        result->value = api.MakeValue(context, 0, word, MAKEVALUE_NUMBER);
    } else {
        char text[32];
        wsprintfA(text, "fail %u", word);
        result->value = api.MakeValue(context, reinterpret_cast<uintptr_t>(text), -1, MAKEVALUE_TEXT);
    }
    return 0;
}

// TONUMBER(text): TextToNumber, then NumberToText. A "!" marks digits written
// past the count NumberToText returned.
static uint32_t HOSTCALL ToNumber(CallContext context, ArgumentBlock args, FunctionResult* result)
{
    uint32_t length = 0;
    const char* text = api.GetArgument(context, args, 1, &length);
    uint32_t number = api.TextToNumber(text, length, 0, TEXTTONUMBER_WHOLE);
    char digits[16];
    std::memset(digits, '#', sizeof digits);
    uint32_t count = api.NumberToText(number, digits, 0);
    std::string out(digits, count);
    if (count >= sizeof digits || digits[count] != '#')
        out += "!";
    ReturnText(context, result, out);
    return 0;
}

// Tail flags from argument 3, when it is given.
static uint32_t TailFlags(CallContext context, ArgumentBlock args, uint32_t base)
{
    uint32_t tail = 0;
    if (!api.ArgumentPresent(args, 3))
        return 0;
    api.GetArgument(context, args, ARGUMENT_NUMBER + 3, &tail);
    return base + tail;
}

// SET(name, value, [tail]): SetVariable with a value; returns its result.
static uint32_t HOSTCALL Set(CallContext context, ArgumentBlock args, FunctionResult* result)
{
    uint32_t nameLength = 0, valueLength = 0;
    const char* name = api.GetArgument(context, args, 1, &nameLength);
    const char* text = api.GetArgument(context, args, 2, &valueLength);
    char* value = api.MakeValue(context, valueLength, valueLength, MAKEVALUE_LENGTH);
    if (value == nullptr)
        return 0;
    std::memcpy(value, text, valueLength);
    uint32_t flags = TailFlags(context, args, SETVARIABLE_TAIL);
    ReturnNumber(context, result,
                 api.SetVariable(context, name, 0, reinterpret_cast<uintptr_t>(value), flags));
    return 0;
}

// SETNUMBER(name, number, [tail]): SetVariable with a number; returns its result.
static uint32_t HOSTCALL SetNumber(CallContext context, ArgumentBlock args, FunctionResult* result)
{
    uint32_t nameLength = 0, number = 0;
    const char* name = api.GetArgument(context, args, 1, &nameLength);
    api.GetArgument(context, args, ARGUMENT_NUMBER + 2, &number);
    uint32_t flags = api.ArgumentPresent(args, 3) ? TailFlags(context, args, SETVARIABLE_TAIL_NUMBER)
                                                  : SETVARIABLE_NUMBER;
    ReturnNumber(context, result, api.SetVariable(context, name, 0, number, flags));
    return 0;
}

// GET(name): the variable's bytes, "<unset>" or "<failed>".
static uint32_t HOSTCALL Get(CallContext context, ArgumentBlock args, FunctionResult* result)
{
    uint32_t length = 0;
    const char* name = api.GetArgument(context, args, 1, &length);
    uint8_t prefixed[256];
    prefixed[0] = static_cast<uint8_t>(length);
    std::memcpy(prefixed + 1, name, length & 0xFF);
    uint32_t word = 0xFFFFFFFF;
    const char* text = api.GetVariable(context, prefixed, 0, &word, GETVARIABLE_TEXT);
    if (text != nullptr)
        ReturnText(context, result, std::string(text, word));
    else
        ReturnText(context, result, word == GETVARIABLE_FAILED ? "<failed>" : "<unset>");
    return 0;
}

// KEYWORD(a, b, [kind]): the choice among RED, GREEN, BLUE (99: untouched), or
// the host's error text with the error number for a bad argument 3.
static uint32_t HOSTCALL Keyword(CallContext context, ArgumentBlock args, FunctionResult* result)
{
    static const uint8_t KEYWORDS[] = "\x03RED\x05GREEN\x04" "BLUE";  // the literal's NUL ends the list
    uint32_t choice = 99;
    HostValue error = api.GetKeywordArgument(context, args, KEYWORD_ARGUMENT_3, KEYWORDS, 0, &choice, 0);
    if (error != nullptr) {
        result->value = error;
        return 1835816;
    }
    ReturnNumber(context, result, choice);
    return 0;
}

// OUTCOME(raw, [condition], [description]): returns raw, with the condition
// and a description made from a template, when given (an empty one is passed
// as no substitution at all).
static uint32_t HOSTCALL Outcome(CallContext context, ArgumentBlock args, FunctionResult* result)
{
    uint32_t raw = 0, condition = 0, length = 0;
    api.GetArgument(context, args, ARGUMENT_NUMBER + 1, &raw);
    if (api.GetArgument(context, args, ARGUMENT_NUMBER + 2, &condition) != nullptr)
        result->condition = static_cast<int32_t>(condition);
    const char* text = api.GetArgument(context, args, 3, &length);
    if (text != nullptr) {
        TextSpan span = {text, length};
        result->value = api.MakeValue(context, reinterpret_cast<uintptr_t>("described: %_"),
                                      length != 0 ? reinterpret_cast<uintptr_t>(&span) : 0,
                                      MAKEVALUE_TEMPLATE);
    }
    return raw;
}

// Faults on purpose, for the ledger to catch.
static uint32_t HOSTCALL Leak(CallContext context, ArgumentBlock, FunctionResult*)
{
    api.MakeValue(context, reinterpret_cast<uintptr_t>("leaked"), -1, MAKEVALUE_TEXT);
    return 0;
}

static uint32_t HOSTCALL DoubleFree(CallContext context, ArgumentBlock args, FunctionResult*)
{
    char* copy = api.GetArgumentText(context, args, 1);
    api.FreeValue(copy);
    api.FreeValue(copy);
    return 0;
}

static uint32_t HOSTCALL FreeForeign(CallContext context, ArgumentBlock args, FunctionResult*)
{
    uint32_t length = 0;
    api.FreeValue(const_cast<char*>(api.GetArgument(context, args, 1, &length)));
    return 0;
}

static uint32_t HOSTCALL Overrun(CallContext context, ArgumentBlock, FunctionResult* result)
{
    char* value = api.MakeValue(context, 4, 4, MAKEVALUE_LENGTH);
    std::memcpy(value, "abcdefgh", 8);  // four bytes too many
    result->value = value;
    return 0;
}

static uint32_t HOSTCALL ForeignContext(CallContext, ArgumentBlock, FunctionResult*)
{
    api.FreeValue(api.MakeValue(&api, reinterpret_cast<uintptr_t>("x"), -1, MAKEVALUE_TEXT));
    return 0;
}

// KEEP(text) holds on to the argument's text; PEEK() returns what is there now.
static const char* keptText;
static uint32_t keptLength;

static uint32_t HOSTCALL Keep(CallContext context, ArgumentBlock args, FunctionResult*)
{
    keptText = api.GetArgument(context, args, 1, &keptLength);
    return 0;
}

static uint32_t HOSTCALL Peek(CallContext context, ArgumentBlock, FunctionResult* result)
{
    ReturnText(context, result, Bytes(keptText, keptLength));
    return 0;
}

// UNUSED(slot): calls a slot the host does not offer.
static uint32_t HOSTCALL Unused(CallContext context, ArgumentBlock args, FunctionResult*)
{
    uint32_t slot = 0;
    api.GetArgument(context, args, ARGUMENT_NUMBER + 1, &slot);
    UnusedSlotFn* slots = reinterpret_cast<UnusedSlotFn*>(&api);
    slots[slot]();
    return 0;
}

static const uint8_t NAMES[] =
    "\x04" "FAKE" "\x04" "ECHO" "\x06" "NUMBER" "\x08" "TONUMBER" "\x03" "SET" "\x09" "SETNUMBER"
    "\x03" "GET" "\x07" "KEYWORD" "\x07" "OUTCOME" "\x04" "LEAK" "\x0A" "DOUBLEFREE"
    "\x0B" "FREEFOREIGN" "\x07" "OVERRUN" "\x0E" "FOREIGNCONTEXT" "\x04" "KEEP" "\x04" "PEEK"
    "\x06" "UNUSED";

// One entry per name after the prefix, in the same order: handler, minimum, maximum.
static const FunctionEntry HANDLERS[] = {
    {0, Echo, 0, 5},
    {0, Number, 1, 1},
    {0, ToNumber, 1, 1},
    {0, Set, 2, 3},
    {0, SetNumber, 2, 3},
    {0, Get, 1, 1},
    {0, Keyword, 2, 3},
    {0, Outcome, 1, 3},
    {0, Leak, 0, 0},
    {0, DoubleFree, 0, 1},
    {0, FreeForeign, 1, 1},
    {0, Overrun, 0, 0},
    {0, ForeignContext, 0, 0},
    {0, Keep, 1, 1},
    {0, Peek, 0, 0},
    {0, Unused, 1, 1},
};

// op 1 registers; op 0 answers 0; any other op answers op * 1000 + argument,
// so a test sees that op and argument arrive.
extern "C" uint32_t HOSTCALL RexxFeedback(uint32_t op, uint32_t argument)
{
    if (op == 1)
        return api.RegisterFunctions(0, "FakeAddon", NAMES, HANDLERS, argument);
    return op == 0 ? 0 : op * 1000 + argument;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    HMODULE host = GetModuleHandleA("morvalin.dll");
    if (host == nullptr)
        return FALSE;
    RexxGetMorvalinFuncsFn bind = reinterpret_cast<RexxGetMorvalinFuncsFn>(
        reinterpret_cast<void*>(GetProcAddress(host, "RexxGetMorvalinFuncs")));
    if (bind == nullptr)
        return FALSE;
    bind(&api, HOSTAPI_SIZE, HOSTAPI_VERSION);
    return TRUE;
}
