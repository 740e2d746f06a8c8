// items.cpp -- the item functions: counting, finding and selecting entries,
// the item-information stem, and extracting the current entry.
#include "addon.h"
#include "zipread.h"

// GETITEM's third argument: choices 1, 2 and 4.
static const uint8_t GETITEM_KINDS[] = "\x04" "FILE\x06MEMORY\x04PIPE";
static const uint32_t GETITEM_FILE = 1;
static const uint32_t GETITEM_MEMORY = 2;
static const uint32_t GETITEM_PIPE = 4;

static const uint32_t TIME_TEXT_LENGTH = 17;  // YYYYMMDD hh:mm:ss

static void PutTwoDigits(char* at, uint32_t value)
{
    at[0] = (char)('0' + value / 10 % 10);
    at[1] = (char)('0' + value % 10);
}

// Sets tail `tail` of the stem to a whole number. The host's number form is
// a 32-bit word; a size past it (ZIP64) goes as its exact decimal text.
static bool SetNumberTail(CallContext context, const char* stem, uint32_t tail, uint64_t number)
{
    if (number <= 0xFFFFFFFFu)
        return hostApi.SetVariable(context, stem, 0, (uint32_t)number, SETVARIABLE_TAIL_NUMBER + tail) == 0;
    char digits[24];
    char* p = digits + sizeof digits;
    *--p = '\0';
    do {
        *--p = (char)('0' + number % 10);
        number /= 10;
    } while (number != 0);
    HostValue text = hostApi.MakeValue(context, (uintptr_t)p, (uintptr_t)-1, MAKEVALUE_TEXT);
    return text && hostApi.SetVariable(context, stem, 0, (uintptr_t)text, SETVARIABLE_TAIL + tail) == 0;
}

// Writes tails 0 to 6 of the stem named by argument 2: path, sizes,
// attributes and the three times (UTC) of the current entry.
static void FillItemInfo(CallContext context, ArgumentBlock arguments, Archive* archive)
{
    uint32_t length = 0;
    const char* stem = hostApi.GetArgument(context, arguments, 2, &length);
    if (!stem)
        return;
    HostValue path = hostApi.MakeValue(context, (uintptr_t)archive->path, (uintptr_t)-1, MAKEVALUE_TEXT);
    if (!path || hostApi.SetVariable(context, stem, 0, (uintptr_t)path, SETVARIABLE_TAIL + 0) != 0)
        return;
    const uint64_t numbers[3] = {archive->header.uncompressedSize, archive->header.compressedSize,
                                 archive->header.externalAttributes};
    for (uint32_t tail = 1; tail <= 3; tail++)
        if (!SetNumberTail(context, stem, tail, numbers[tail - 1]))
            return;

    const FILETIME* times[3] = {&archive->accessTime, &archive->creationTime, &archive->writeTime};
    for (uint32_t tail = 4; tail <= 6; tail++) {
        // A time that does not convert reads as the zero FILETIME does, so
        // the year keeps its four digits.
        SYSTEMTIME t;
        const FILETIME zero = {0, 0};
        if (!FileTimeToSystemTime(times[tail - 4], &t))
            FileTimeToSystemTime(&zero, &t);
        HostValue text = hostApi.MakeValue(context, TIME_TEXT_LENGTH, TIME_TEXT_LENGTH, MAKEVALUE_LENGTH);
        if (!text)
            return;
        // The year always has four digits: FILETIMEs start in 1601.
        hostApi.NumberToText(t.wYear, text, 0);
        PutTwoDigits(text + 4, t.wMonth);
        PutTwoDigits(text + 6, t.wDay);
        text[8] = ' ';
        PutTwoDigits(text + 9, t.wHour);
        text[11] = ':';
        PutTwoDigits(text + 12, t.wMinute);
        text[14] = ':';
        PutTwoDigits(text + 15, t.wSecond);
        hostApi.SetVariable(context, stem, 0, (uintptr_t)text, SETVARIABLE_TAIL + tail);
    }
}

uint32_t HOSTCALL FindItemFunction(CallContext context, ArgumentBlock arguments, FunctionResult* result)
{
    Archive* archive;
    uint32_t failure = LookupArchive(context, arguments, &archive);
    if (failure)
        return failure;
    char* name = hostApi.GetArgumentText(context, arguments, 3);
    if (!name)
        return ReportResultCode(context, result, RESULT_NO_MEMORY);

    if (name[0] == '\0') {
        uint32_t length = 0;
        const char* variable = hostApi.GetArgument(context, arguments, 2, &length);
        if (variable)
            hostApi.SetVariable(context, variable, 0, archive->entryCount, SETVARIABLE_NUMBER);
        hostApi.FreeValue(name);
        return 0;
    }

    uint32_t flags = 0;
    if (!hostApi.GetArgument(context, arguments, ARGUMENT_NUMBER + 4, &flags))
        flags = 0;
    uint32_t code = FindEntry(archive, name, flags);
    hostApi.FreeValue(name);
    // A search that finds nothing is not reported: the stem keeps what it held.
    if (code == RESULT_OK)
        FillItemInfo(context, arguments, archive);
    return 0;
}

uint32_t HOSTCALL SetCurrentItemFunction(CallContext context, ArgumentBlock arguments, FunctionResult* result)
{
    Archive* archive;
    uint32_t failure = LookupArchive(context, arguments, &archive);
    if (failure)
        return failure;
    uint32_t index = 0;
    if (!hostApi.GetArgument(context, arguments, ARGUMENT_NUMBER + 3, &index)) {
        if (index != 0)
            return HOSTERR_ARG3_NOT_NUMBER;
        index = 0;
    }
    // Positions count from 1; 0 and negative indexes wrap beyond entryCount.
    uint32_t code = SelectEntry(archive, index - 1);
    if (code)
        return ReportResultCode(context, result, code);
    FillItemInfo(context, arguments, archive);
    return 0;
}

// Extracts into a new host value and hands it to the variable named by
// argument 2, which is set only when the entry is whole. An empty entry
// gives the empty string.
static uint32_t ExtractToVariable(CallContext context, ArgumentBlock arguments, Archive* archive)
{
    if (archive->currentIndex == -1)
        return RESULT_BAD_ARGUMENTS;
    uint64_t size = archive->header.uncompressedSize;
    // A size the entry's data can never fill would end in 11 once decoded:
    // say so before asking the host for that much memory, so that a few
    // bytes claiming gigabytes cost no more than the bytes themselves.
    uint32_t unfillable = CheckMemoryExtraction(archive);
    if (unfillable) {
        CloseEntryStream(archive);
        return unfillable;
    }
    // Nor is the host asked for more than the process's whole address space.
    MEMORYSTATUSEX memory;
    memory.dwLength = sizeof memory;
    if (size > 0 && (!GlobalMemoryStatusEx(&memory) || size >= memory.ullTotalVirtual)) {
        CloseEntryStream(archive);
        return RESULT_NO_MEMORY;
    }
    HostValue value = size ? hostApi.MakeValue(context, (uintptr_t)size, (uintptr_t)size, MAKEVALUE_LENGTH)
                           : hostApi.MakeValue(context, (uintptr_t)"", (uintptr_t)-1, MAKEVALUE_TEXT);
    if (!value) {
        CloseEntryStream(archive);  // the selection is consumed, as by any extraction
        return RESULT_NO_MEMORY;
    }
    uint32_t code = ExtractEntry(archive, value, EXTRACT_TO_MEMORY);
    if (code) {
        hostApi.FreeValue(value);
        return code;
    }
    uint32_t length = 0;
    const char* variable = hostApi.GetArgument(context, arguments, 2, &length);
    if (!variable) {
        hostApi.FreeValue(value);
        return RESULT_NO_MEMORY;
    }
    // The host takes the value whatever the outcome. A name it cannot set
    // (one that is no variable name, say) is a faulty argument: success
    // would leave the script reading a variable that was never set.
    if (hostApi.SetVariable(context, variable, 0, (uintptr_t)value, SETVARIABLE_VALUE) != 0)
        return RESULT_BAD_ARGUMENTS;
    return RESULT_OK;
}

uint32_t HOSTCALL GetItemFunction(CallContext context, ArgumentBlock arguments, FunctionResult* result)
{
    Archive* archive;
    uint32_t failure = LookupArchive(context, arguments, &archive);
    if (failure)
        return failure;
    uint32_t choice = GETITEM_FILE;
    HostValue bad = hostApi.GetKeywordArgument(context, arguments, KEYWORD_ARGUMENT_3, GETITEM_KINDS, 0,
                                               &choice, 0);
    if (bad) {
        result->value = bad;
        return HOSTERR_ARG3_NOT_KEYWORD;
    }

    uint32_t code;
    switch (choice) {
    case GETITEM_MEMORY:
        code = ExtractToVariable(context, arguments, archive);
        break;
    case GETITEM_PIPE: {
        uint32_t handle = 0;
        if (!hostApi.GetArgument(context, arguments, ARGUMENT_NUMBER + 2, &handle) || handle == 0)
            return HOSTERR_ARG2_NOT_NUMBER;
        code = ExtractEntry(archive, HandleFromNumber(handle), EXTRACT_TO_HANDLE);
        break;
    }
    default: {
        // The name is used as given: the root directory is not added.
        char* name = hostApi.GetArgumentText(context, arguments, 2);
        if (!name)
            return ReportResultCode(context, result, RESULT_NO_MEMORY);
        code = ExtractEntry(archive, name, EXTRACT_TO_PATH);
        hostApi.FreeValue(name);
        break;
    }
    }
    if (code)
        return ReportResultCode(context, result, code);
    return 0;
}
