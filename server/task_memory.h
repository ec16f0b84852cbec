// The COM task allocator, as the server uses it for buffers that the platform's
// rules assign to it. A test build counts these blocks and can fail them.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "allocation_probe.h"

inline void* TaskAlloc(SIZE_T size)
{
#ifdef KELMO_ALLOCATION_PROBE
    if (AllocationProbeRefuses())
        return nullptr;
    void* block = CoTaskMemAlloc(size);
    if (block != nullptr)
        InterlockedIncrement(&allocationProbe.liveTaskBlocks);
    return block;
#else
    return CoTaskMemAlloc(size);
#endif
}

inline void* TaskRealloc(void* block, SIZE_T size)
{
#ifdef KELMO_ALLOCATION_PROBE
    if (AllocationProbeRefuses())
        return nullptr;
    void* moved = CoTaskMemRealloc(block, size);
    if (moved != nullptr && block == nullptr)
        InterlockedIncrement(&allocationProbe.liveTaskBlocks);
    return moved;
#else
    return CoTaskMemRealloc(block, size);
#endif
}

inline void TaskFree(void* block)
{
#ifdef KELMO_ALLOCATION_PROBE
    if (block != nullptr)
        InterlockedDecrement(&allocationProbe.liveTaskBlocks);
#endif
    CoTaskMemFree(block);
}
