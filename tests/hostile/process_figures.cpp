// process_figures.cpp -- counting handles, heap blocks and memory of this
// process for the leak checks.
#include "process_figures.h"

#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <vector>

namespace {

// SystemHandleInformation (16): one entry per open handle of every process.
const SYSTEM_INFORMATION_CLASS HANDLE_LIST_CLASS = (SYSTEM_INFORMATION_CLASS)16;

struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};

struct HandleList {
    ULONG count;
    HandleEntry entries[1];
};

}  // namespace

uint32_t OpenHandleCount()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0)
        return count;
    static std::vector<char> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        NTSTATUS status = NtQuerySystemInformation(HANDLE_LIST_CLASS, buffer.data(), (ULONG)buffer.size(),
                                                   &needed);
        if (status == (NTSTATUS)0xC0000004L) {  // STATUS_INFO_LENGTH_MISMATCH
            buffer.resize(needed > buffer.size() ? needed + 4096 : buffer.size() * 2);
            continue;
        }
        if (status != 0)
            return 0;
        const HandleList* list = reinterpret_cast<const HandleList*>(buffer.data());
        uint32_t mine = 0;
        DWORD pid = GetCurrentProcessId();
        for (ULONG i = 0; i < list->count; i++)
            mine += list->entries[i].ownerPid == pid;
        return mine;
    }
}

uint32_t BusyHeapBlocks()
{
    HANDLE heap = GetProcessHeap();
    uint32_t busy = 0;
    HeapLock(heap);
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heap, &entry))
        busy += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0;
    HeapUnlock(heap);
    return busy;
}

MemoryFigures ProcessMemory()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    MemoryFigures figures;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        figures.privateBytes = counters.PagefileUsage;
        figures.workingSet = counters.WorkingSetSize;
    }
    return figures;
}
