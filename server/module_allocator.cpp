// The module allocator over the ServerModule's private heaps. In extra-heap
// mode every block carries an 8-byte header naming the heap it came from, so
// that realloc and free go back to that heap.
#include "module_allocator.h"

#include "allocation_probe.h"
#include "server_module.h"

namespace {

constexpr DWORD kHeaderSize = 8;

union BlockHeader {
    HANDLE heap;
    BYTE bytes[kHeaderSize];
};
static_assert(sizeof(BlockHeader) == kHeaderSize, "the block header is 8 bytes in both builds");

bool ExtraHeapMode() { return serverModule.extraHeaps != nullptr; }

// A size that would wrap around when the header is added is refused.
bool FitsWithHeader(DWORD size) { return size <= MAXDWORD - kHeaderSize; }

void* BlockOf(void* pointer) { return static_cast<BYTE*>(pointer) - kHeaderSize; }

void* StampHeader(void* block, HANDLE heap)
{
    if (block == nullptr)
        return nullptr;
    static_cast<BlockHeader*>(block)->heap = heap;
    return static_cast<BYTE*>(block) + kHeaderSize;
}

HANDLE HeapOf(void* pointer) { return static_cast<BlockHeader*>(BlockOf(pointer))->heap; }

void* AllocateBlock(DWORD size)
{
    if (serverModule.baseHeap == nullptr)
        return nullptr;
    if (!ExtraHeapMode())
        return HeapAlloc(serverModule.baseHeap, 0, size);
    if (!FitsWithHeader(size))
        return nullptr;
    // A plain increment: two racing allocations may share a heap, which only
    // changes the spread, since every heap is serialised.
    const DWORD index = serverModule.nextHeap++ & serverModule.heapMask;
    HANDLE heap = serverModule.extraHeaps[index];
    return StampHeader(HeapAlloc(heap, 0, size + kHeaderSize), heap);
}

void* ReallocateBlock(void* pointer, DWORD size)
{
    if (serverModule.baseHeap == nullptr)
        return nullptr;
    if (!ExtraHeapMode())
        return HeapReAlloc(serverModule.baseHeap, 0, pointer, size);
    if (!FitsWithHeader(size))
        return nullptr;
    HANDLE heap = HeapOf(pointer);
    return StampHeader(HeapReAlloc(heap, 0, BlockOf(pointer), size + kHeaderSize), heap);
}

void FreeBlock(void* pointer)
{
    if (pointer == nullptr || serverModule.baseHeap == nullptr)
        return;
    if (!ExtraHeapMode())
        HeapFree(serverModule.baseHeap, 0, pointer);
    else
        HeapFree(HeapOf(pointer), 0, BlockOf(pointer));
}

}  // namespace

void* ModuleAlloc(DWORD size)
{
#ifdef KELMO_ALLOCATION_PROBE
    if (AllocationProbeRefuses())
        return nullptr;
    void* block = AllocateBlock(size);
    if (block != nullptr)
        InterlockedIncrement(&allocationProbe.liveModuleBlocks);
    return block;
#else
    return AllocateBlock(size);
#endif
}

void* ModuleRealloc(void* pointer, DWORD size)
{
    if (pointer == nullptr)
        return ModuleAlloc(size);
#ifdef KELMO_ALLOCATION_PROBE
    if (AllocationProbeRefuses())
        return nullptr;
#endif
    return ReallocateBlock(pointer, size);
}

void ModuleFree(void* pointer)
{
#ifdef KELMO_ALLOCATION_PROBE
    if (pointer != nullptr && serverModule.baseHeap != nullptr)
        InterlockedDecrement(&allocationProbe.liveModuleBlocks);
#endif
    FreeBlock(pointer);
}
