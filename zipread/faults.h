// faults.h -- control of the fault-injection build of the reader.
// Counting starts at the next call after FaultsReset; 0 means never fail.
#pragma once

#include <stdint.h>

struct FaultPlan {
    uint32_t failAllocation;  // the Nth AllocateBlock returns null
    uint32_t failRead;        // the Nth ReadHandle fails
    uint32_t failWrite;       // the Nth WriteHandle fails
};

struct FaultCounts {
    uint32_t allocations, reads, writes;  // calls since the reset
    int32_t liveBlocks;                   // allocated and not yet freed
};

void FaultsReset(const FaultPlan& plan);
FaultCounts FaultsCounted();

