// The module allocator over the ServerModule's private heaps. A null result
// means exhausted memory, which callers report as E_OUTOFMEMORY.
#pragma once

#include <windows.h>

void* ModuleAlloc(DWORD size);
void* ModuleRealloc(void* block, DWORD size);
void ModuleFree(void* block);

// Allocates room for one T (a plain record; no constructor runs).
template <typename T>
T* ModuleAllocRecord()
{
    return static_cast<T*>(ModuleAlloc(sizeof(T)));
}
