// process_figures.h -- what a leak would show in this process: open handles,
// busy blocks of the process heap, private bytes and working set, counted
// in ways that work under Wine as well as on Windows.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Handles this process has open. Wine answers GetProcessHandleCount with 0,
// so the system's handle list, filtered by our process id, is used there.
uint32_t OpenHandleCount();

// Busy blocks of the process heap, the add-on's heap.
uint32_t BusyHeapBlocks();

struct MemoryFigures {
    size_t privateBytes = 0;  // PagefileUsage: committed private memory
    size_t workingSet = 0;
};
MemoryFigures ProcessMemory();
