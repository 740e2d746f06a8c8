// system.cpp -- the add-on's heap blocks and its file reads and writes.
// Nothing else in the add-on calls HeapAlloc, ReadFile or WriteFile, so a test
// build (TARVUNE_FAULT_INJECTION) can make the Nth of each fail.
#include "zipread.h"

#ifdef TARVUNE_FAULT_INJECTION
#include "faults.h"

static FaultPlan plan;
static FaultCounts counts;

void FaultsReset(const FaultPlan& newPlan)
{
    plan = newPlan;
    int32_t live = counts.liveBlocks;
    counts = FaultCounts();
    counts.liveBlocks = live;
}

FaultCounts FaultsCounted()
{
    return counts;
}

static bool ShouldFail(uint32_t* counter, uint32_t failAt)
{
    *counter += 1;
    return failAt != 0 && *counter == failAt;
}
#endif

void* AllocateBlock(uint32_t size)
{
#ifdef TARVUNE_FAULT_INJECTION
    if (ShouldFail(&counts.allocations, plan.failAllocation))
        return nullptr;
#endif
    void* block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size ? size : 1);
#ifdef TARVUNE_FAULT_INJECTION
    if (block)
        counts.liveBlocks++;
#endif
    return block;
}

void FreeBlock(void* block)
{
    if (!block)
        return;
#ifdef TARVUNE_FAULT_INJECTION
    counts.liveBlocks--;
#endif
    HeapFree(GetProcessHeap(), 0, block);
}

BOOL ReadHandle(HANDLE handle, void* buffer, DWORD count, DWORD* received)
{
#ifdef TARVUNE_FAULT_INJECTION
    if (ShouldFail(&counts.reads, plan.failRead)) {
        *received = 0;
        SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
#endif
    return ReadFile(handle, buffer, count, received, nullptr);
}

BOOL WriteHandle(HANDLE handle, const void* buffer, DWORD count, DWORD* written)
{
#ifdef TARVUNE_FAULT_INJECTION
    if (ShouldFail(&counts.writes, plan.failWrite)) {
        *written = 0;
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
#endif
    return WriteFile(handle, buffer, count, written, nullptr);
}
