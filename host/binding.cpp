// binding.cpp -- the callback table that RexxGetMorvalinFuncs hands an add-on.
// Slots the host does not offer fail loudly: their argument count is unknown,
// so returning could only corrupt the caller's stack. They say which slot was
// called and end the process, so the test that reached them fails for certain.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "host.h"
#include "morvalin_exports.h"

namespace mhost {

static uint32_t bindCount;
static uint32_t boundSize;
static uint32_t boundVersion;

[[noreturn]] static void UnusedSlotCalled(int slot)
{
    RecordViolation("unused slot " + UnsignedText(slot) + " called");
    std::fprintf(stderr, "morvalin: the add-on called unused slot %d of the callback table\n", slot);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), MORVALIN_UNUSED_SLOT_EXIT);
    ExitProcess(MORVALIN_UNUSED_SLOT_EXIT);  // not reached: terminating the own process does not return
}

template <int SLOT>
static void HOSTCALL UnusedSlot()
{
    UnusedSlotCalled(SLOT);
}

static const HostApi TABLE = {
    GetVariable,
    SetVariable,
    UnusedSlot<2>, UnusedSlot<3>, UnusedSlot<4>,
    MakeValue,
    FreeValue,
    RegisterFunctions,
    UnusedSlot<8>, UnusedSlot<9>, UnusedSlot<10>, UnusedSlot<11>, UnusedSlot<12>,
    UnusedSlot<13>, UnusedSlot<14>,
    GetArgumentText,
    GetKeywordArgument,
    GetArgument,
    ArgumentPresent,
    TextToNumber,
    NumberToText,
};

}  // namespace mhost

using namespace mhost;

// Fills as many slots as `size` bytes hold. The add-on passes the table's
// size (84 in a 32-bit process) and version 271.
extern "C" uint32_t HOSTCALL RexxGetMorvalinFuncs(HostApi* table, uint32_t size, uint32_t version)
{
    bindCount++;
    boundSize = size;
    boundVersion = version;
    if (size != HOSTAPI_SIZE || version != HOSTAPI_VERSION)
        RecordViolation("RexxGetMorvalinFuncs: size " + UnsignedText(size) + ", version " +
                        UnsignedText(version) + " (expected " + UnsignedText(HOSTAPI_SIZE) + " and 271)");
    if (table == nullptr)
        return 1;
    std::memcpy(table, &TABLE, size < sizeof TABLE ? size : sizeof TABLE);
    return 0;
}

extern "C" uint32_t MorvalinBindCount(uint32_t* lastSize, uint32_t* lastVersion)
{
    if (lastSize != nullptr)
        *lastSize = boundSize;
    if (lastVersion != nullptr)
        *lastVersion = boundVersion;
    return bindCount;
}
