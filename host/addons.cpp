// addons.cpp -- loading an add-on library the way the interpreter does.
// The host is loaded first; the add-on finds it at its process attach, binds
// to the callback table, and registers its functions when RexxFeedback is
// called with op 1. One add-on is loaded at a time.
#include <windows.h>

#include "host.h"
#include "morvalin_exports.h"

namespace mhost {

typedef uint32_t(HOSTCALL* RexxFeedbackFn)(uint32_t op, uint32_t argument);

static const uint32_t FEEDBACK_REGISTER = 1;

static HMODULE addon;
static RexxFeedbackFn feedback;

// The address range of a loaded module's image, from its PE headers.
static void ImageRange(HMODULE module, uintptr_t* begin, uintptr_t* end)
{
    const BYTE* base = reinterpret_cast<const BYTE*>(module);
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    *begin = reinterpret_cast<uintptr_t>(base);
    *end = *begin + nt->OptionalHeader.SizeOfImage;
}

}  // namespace mhost

using namespace mhost;

extern "C" int32_t MorvalinLoadAddon(const char* path, uint32_t argument, uint32_t* feedbackResult,
                                     uint32_t* lastError)
{
    if (addon != nullptr)
        return MORVALIN_ALREADY_LOADED;
    HMODULE module = LoadLibraryA(path);
    if (module == nullptr) {
        if (lastError != nullptr)
            *lastError = GetLastError();
        return MORVALIN_LOAD_FAILED;
    }
    RexxFeedbackFn entry = reinterpret_cast<RexxFeedbackFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "RexxFeedback")));
    if (entry == nullptr) {
        if (lastError != nullptr)
            *lastError = GetLastError();
        FreeLibrary(module);
        return MORVALIN_NO_FEEDBACK;
    }
    addon = module;
    feedback = entry;
    uint32_t result = feedback(FEEDBACK_REGISTER, argument);
    if (feedbackResult != nullptr)
        *feedbackResult = result;
    return MORVALIN_LOADED;
}

extern "C" int32_t MorvalinFeedback(uint32_t op, uint32_t argument, uint32_t* result)
{
    if (addon == nullptr)
        return 0;
    uint32_t answer = feedback(op, argument);
    if (result != nullptr)
        *result = answer;
    return 1;
}

extern "C" void MorvalinUnloadAddon(void)
{
    if (addon == nullptr)
        return;
    uintptr_t begin, end;
    ImageRange(addon, &begin, &end);
    ForgetFunctionsIn(begin, end);
    FreeLibrary(addon);
    addon = nullptr;
    feedback = nullptr;
}
