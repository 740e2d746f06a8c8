// handles.cpp -- archive handles: turning argument 1 back into an open
// archive, and the OPEN, CLOSE and SETROOTDIR functions.
#include "addon.h"
#include "zipread.h"

// OPEN's third argument: choices 1, 2, 4 and 8.
static const uint8_t OPEN_KINDS[] = "\x08RESOURCE\x04" "FILE\x06MEMORY\x04PIPE";
static const uint32_t OPEN_RESOURCE = 1;
static const uint32_t OPEN_FILE = 2;
static const uint32_t OPEN_MEMORY = 4;
static const uint32_t OPEN_PIPE = 8;

// A handle is valid exactly while its record is in the open-archive list;
// addresses are compared, a record outside the list is never read.
uint32_t LookupArchive(CallContext context, ArgumentBlock arguments, Archive** archive)
{
    uint32_t handle = 0;
    if (!hostApi.GetArgument(context, arguments, ARGUMENT_NUMBER + 1, &handle))
        return HOSTERR_ARG1_NOT_NUMBER;
    if (IsBadReadPtr(reinterpret_cast<void*>(handle), 1))
        return HOSTERR_ARG1_NOT_NUMBER;
    for (Archive* a = openArchives; a; a = a->next) {
        if (reinterpret_cast<uintptr_t>(a) == handle) {
            *archive = a;
            return 0;
        }
    }
    *archive = nullptr;
    return HOSTERR_ARG1_NOT_HANDLE;
}

uint32_t HOSTCALL OpenFunction(CallContext context, ArgumentBlock arguments, FunctionResult* result)
{
    uint32_t choice = OPEN_FILE;
    HostValue bad = hostApi.GetKeywordArgument(context, arguments, KEYWORD_ARGUMENT_3, OPEN_KINDS, 0,
                                               &choice, 0);
    if (bad) {
        result->value = bad;
        return HOSTERR_ARG3_NOT_KEYWORD;
    }

    uint32_t passwordLength = 0;
    const char* password = hostApi.GetArgument(context, arguments, 4, &passwordLength);
    if (!password)
        passwordLength = 0;

    Archive* archive = nullptr;
    uint32_t code;
    switch (choice) {
    case OPEN_RESOURCE:
    case OPEN_PIPE: {
        uint32_t number = 0;
        if (!hostApi.GetArgument(context, arguments, ARGUMENT_NUMBER + 2, &number) || number == 0)
            return HOSTERR_ARG2_NOT_NUMBER;
        if (choice == OPEN_RESOURCE)
            code = OpenArchive(&archive, nullptr, number, SOURCE_MEMORY, password, passwordLength);
        else
            code = OpenArchive(&archive, HandleFromNumber(number), 0, SOURCE_HANDLE, password,
                               passwordLength);
        break;
    }
    case OPEN_MEMORY: {
        uint32_t size = 0;
        const char* bytes = hostApi.GetArgument(context, arguments, 2, &size);
        if (!bytes) {
            bytes = "";  // an empty block, never the resource form
            size = 0;
        }
        code = OpenArchive(&archive, bytes, size, SOURCE_MEMORY, password, passwordLength);
        break;
    }
    default: {
        char* name = hostApi.GetArgumentText(context, arguments, 2);
        if (!name)
            return ReportResultCode(context, result, RESULT_NO_MEMORY);
        code = OpenArchive(&archive, name, 0, SOURCE_FILE, password, passwordLength);
        hostApi.FreeValue(name);
        break;
    }
    }
#if UINTPTR_MAX > 0xFFFFFFFF
    // The handle is the record's address as a 32-bit number: a 64-bit build
    // cannot hand out a record that lies above 4 GiB.
    if (!code && reinterpret_cast<uintptr_t>(archive) > 0xFFFFFFFFu) {
        ReleaseArchive(archive);
        code = RESULT_NO_MEMORY;
    }
#endif
    if (code)
        return ReportResultCode(context, result, code);

    uint32_t length = 0;
    const char* variable = hostApi.GetArgument(context, arguments, 1, &length);
    if (!variable ||
        hostApi.SetVariable(context, variable, 0, reinterpret_cast<uintptr_t>(archive), SETVARIABLE_NUMBER) != 0)
        ReleaseArchive(archive);
    return 0;
}

uint32_t HOSTCALL CloseFunction(CallContext context, ArgumentBlock arguments, FunctionResult*)
{
    if (!hostApi.ArgumentPresent(arguments, 1)) {
        CloseAllArchives();
        return 0;
    }
    uint32_t handle = 0;
    if (!hostApi.GetArgument(context, arguments, ARGUMENT_NUMBER + 1, &handle))
        return 0;
    if (IsBadReadPtr(reinterpret_cast<void*>(handle), 1))
        return 0;
    ReleaseArchive(reinterpret_cast<Archive*>(handle));  // ignores a stale handle
    return 0;
}

uint32_t HOSTCALL SetRootDirFunction(CallContext context, ArgumentBlock arguments, FunctionResult* result)
{
    Archive* archive;
    uint32_t failure = LookupArchive(context, arguments, &archive);
    if (failure)
        return failure;
    uint32_t length = 0;
    const char* directory = hostApi.GetArgument(context, arguments, 2, &length);
    if (!directory)
        length = 0;
    uint32_t code = SetRootDirectory(archive, directory, length);
    if (code)
        return ReportResultCode(context, result, code);
    return 0;
}
