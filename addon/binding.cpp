// binding.cpp -- the add-on's life in the host's process: binding to the host
// at load, registering the seven functions, and closing every archive at the end.
#include "addon.h"
#include "zipread.h"
#include "strings.h"

HINSTANCE addonInstance;

// The process-wide state, cleared at attach: the head of the open-archive
// list (the reader's), the host module and the host's table.
static HMODULE hostModule;
HostApi hostApi;

// Length-prefixed: the prefix, then the names in ascending order, then 0.
static const uint8_t FUNCTION_NAMES[] =
    "\x05UNZIP"
    "\x05" "CLOSE"
    "\x06" "ERRMSG"
    "\x08" "FINDITEM"
    "\x07" "GETITEM"
    "\x04" "OPEN"
    "\x0e" "SETCURRENTITEM"
    "\x0a" "SETROOTDIR";  // the string's own NUL ends the list

// In the order of the names after the prefix.
static const FunctionEntry FUNCTION_HANDLERS[] = {
    {0, CloseFunction, 0, 1},
    {0, ErrMsgFunction, 1, 1},
    {0, FindItemFunction, 2, 4},
    {0, GetItemFunction, 2, 3},
    {0, OpenFunction, 2, 4},
    {0, SetCurrentItemFunction, 3, 3},
    {0, SetRootDirFunction, 1, 2},
};
static_assert(sizeof(FUNCTION_HANDLERS) == 7 * sizeof(FunctionEntry), "seven packed entries");
#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(FUNCTION_HANDLERS) == 70, "seven packed 10-byte entries");
#endif

static BOOL RefuseLoad(uint32_t stringId)
{
    char text[100];
    if (!LoadAddonString(stringId, text, sizeof text))
        text[0] = '\0';
    MessageBoxA(nullptr, text, "Tarvune", MB_OK);
    return FALSE;
}

static BOOL AttachProcess(HINSTANCE instance)
{
    addonInstance = instance;
    openArchives = nullptr;
    hostModule = nullptr;
    ZeroMemory(&hostApi, sizeof hostApi);

    // The host loads us; we never load it.
    hostModule = GetModuleHandleA("morvalin.dll");
    if (!hostModule)
        return RefuseLoad(STRING_HOST_NOT_LOADED);
    RexxGetMorvalinFuncsFn getFuncs =
        reinterpret_cast<RexxGetMorvalinFuncsFn>(
            reinterpret_cast<void*>(GetProcAddress(hostModule, "RexxGetMorvalinFuncs")));
    if (!getFuncs) {
        hostModule = nullptr;
        return RefuseLoad(STRING_HOST_ENTRY_MISSING);
    }
    getFuncs(&hostApi, HOSTAPI_SIZE, HOSTAPI_VERSION);
    return TRUE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        return AttachProcess(instance);
    case DLL_THREAD_ATTACH:
        DisableThreadLibraryCalls(instance);
        return TRUE;
    case DLL_PROCESS_DETACH:
        if (hostModule)
            CloseAllArchives();
        return TRUE;
    default:
        return TRUE;
    }
}

// Op 0 closes every archive; op 1 registers the functions; others do nothing.
extern "C" uint32_t __stdcall RexxFeedback(uint32_t op, uint32_t argument)
{
    switch (op) {
    case 0:
        CloseAllArchives();
        return 0;
    case 1:
        return hostApi.RegisterFunctions(0, "Tarvune", FUNCTION_NAMES, FUNCTION_HANDLERS, argument);
    default:
        return 0;
    }
}
