// faultcontrol.cpp -- exports of the fault-injection build of the add-on, so
// that a test can fail its Nth allocation, read or write and count its blocks.
#include "faults.h"

extern "C" void TarvuneFaultsReset(uint32_t failAllocation, uint32_t failRead, uint32_t failWrite)
{
    FaultsReset(FaultPlan{failAllocation, failRead, failWrite});
}

extern "C" void TarvuneFaultsCounted(FaultCounts* counts)
{
    *counts = FaultsCounted();
}
