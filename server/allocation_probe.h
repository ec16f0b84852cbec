// A test build's view of the server's allocations: every module-allocator and
// task-memory allocation is counted, and the k-th one can be made to fail.
// Compiled in only with KELMO_ALLOCATION_PROBE; the program never has it.
#pragma once

#include <windows.h>

#ifdef KELMO_ALLOCATION_PROBE

struct AllocationProbe {
    LONG attempts;          // allocation calls so far, module and task memory together
    LONG failAt;            // the attempt that fails (1-based); 0: none fails
    LONG liveModuleBlocks;  // ModuleAlloc results not yet freed
    LONG liveTaskBlocks;    // task-memory blocks not yet freed
};

extern AllocationProbe allocationProbe;

// Counts one allocation attempt; true when this one is to fail.
bool AllocationProbeRefuses();

// A test build of the program takes the attempt that fails from the
// environment variable KELMO_FAIL_ALLOCATION, and at its end writes the number
// of attempts it made to the file named by KELMO_PROBE_REPORT.
void AllocationProbeStart();
void AllocationProbeReport();

#endif
