// The module record: setup and teardown, the lock count and the shutdown
// callbacks. The allocator over the record's heaps is in module_allocator.cpp.
#include "server_module.h"

#include "class_table.h"
#include "errors.h"
#include "module_allocator.h"

ServerModule serverModule;

PlatformFacts ReadPlatformFacts()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExA(&version);
    SYSTEM_INFO system = {};
    GetSystemInfo(&system);
    return {version.dwPlatformId, version.dwMajorVersion, system.dwNumberOfProcessors};
}

// Extra heaps exist only before NT 5 and only with more than one processor:
// 2^k of them, k being the number of bits needed to write the processor count,
// which makes their number the smallest power of two strictly above it.
static DWORD ExtraHeapMask(const PlatformFacts& facts)
{
    if ((facts.platformId == VER_PLATFORM_WIN32_NT && facts.majorVersion >= 5) || facts.processorCount <= 1)
        return 0;
    DWORD mask = 0;
    for (DWORD n = facts.processorCount; n != 0; n >>= 1)
        mask = (mask << 1) | 1;
    return mask;
}

template <typename Visit>
static void ForEachClass(ClassEntry* table, Visit visit)
{
    if (table == nullptr)
        return;
    for (ClassEntry* row = table; row->classId != nullptr; ++row)
        visit(*row);
}

HRESULT ServerModule::Setup(ClassEntry* table, HINSTANCE instance, const PlatformFacts* facts)
{
    classTable = table;
    lockCount = 0;
    activationState = 0;
    serverLocks = 0;
    moduleInstance = instance;
    typeLibInstance = instance;
    baseHeap = nullptr;
    InitializeCriticalSection(&moduleLock);
    heapMask = 0;
    nextHeap = 0;
    extraHeaps = nullptr;
    termCallbacks = nullptr;

    // No heap exists yet: a module hook must not allocate.
    ForEachClass(classTable, [](ClassEntry& row) { row.moduleHook(TRUE); });

    baseHeap = HeapCreate(0, 0, 0);
    if (baseHeap == nullptr)
        return S_OK;  // every allocation then returns null

    const PlatformFacts platform = facts != nullptr ? *facts : ReadPlatformFacts();
    const DWORD mask = ExtraHeapMask(platform);
    if (mask == 0)
        return S_OK;

    HANDLE* heaps = static_cast<HANDLE*>(HeapAlloc(baseHeap, 0, (mask + 1) * sizeof(HANDLE)));
    DWORD created = 0;
    while (heaps != nullptr && created <= mask && (heaps[created] = HeapCreate(0, 0, 0)) != nullptr)
        ++created;
    if (heaps == nullptr || created <= mask) {
        // A missing heap makes the record unusable for allocation: with no base
        // heap every ModuleAlloc returns null and nothing touches a missing heap.
        for (DWORD i = 0; i < created; ++i)
            HeapDestroy(heaps[i]);
        HeapDestroy(baseHeap);
        baseHeap = nullptr;
        return S_OK;
    }
    extraHeaps = heaps;
    heapMask = mask;
    return S_OK;
}

HRESULT ServerModule::Teardown(ServerModule* module)
{
    if (module == nullptr)
        return E_INVALIDARG;

    ForEachClass(module->classTable, [](ClassEntry& row) {
        if (row.classObject != nullptr) {
            row.classObject->lpVtbl->Release(row.classObject);
            row.classObject = nullptr;
        }
        row.moduleHook(FALSE);
    });

    DeleteCriticalSection(&module->moduleLock);

    TermCallback* node = module->termCallbacks;
    module->termCallbacks = nullptr;
    while (node != nullptr) {
        node->function(node->argument);
        TermCallback* next = node->next;
        ModuleFree(node);
        node = next;
    }

    // The event stays open until here because a late release may still signal it.
    if (module->shutdownEvent != nullptr) {
        CloseHandle(module->shutdownEvent);
        module->shutdownEvent = nullptr;
    }

    if (module->baseHeap != nullptr) {
        if (module->extraHeaps != nullptr) {
            for (DWORD i = 0; i <= module->heapMask; ++i)
                HeapDestroy(module->extraHeaps[i]);
        }
        HeapDestroy(module->baseHeap);  // the extraHeaps array goes with it
        module->baseHeap = nullptr;
        module->extraHeaps = nullptr;
        module->heapMask = 0;
    }
    return S_OK;
}

HRESULT ServerModule::AddTermCallback(TermFunction function, ULONG_PTR argument)
{
    TermCallback* node = ModuleAllocRecord<TermCallback>();
    if (node == nullptr)
        return E_OUTOFMEMORY;
    node->function = function;
    node->argument = argument;
    EnterCriticalSection(&moduleLock);
    node->next = termCallbacks;
    termCallbacks = node;
    LeaveCriticalSection(&moduleLock);
    return S_OK;
}

// Replaces a value that is not negative (an open activationState, a count)
// by what change makes of it and returns the value it found; kServerClosing
// stays. Compare and exchange, because the monitor may close the server
// between read and write.
template <typename Change>
static LONG ChangeOpenState(volatile LONG* state, Change change)
{
    LONG seen = *state;
    while (seen >= 0) {
        const LONG found = InterlockedCompareExchange(state, change(seen), seen);
        if (found == seen)
            break;
        seen = found;
    }
    return seen;
}

LONG ServerModule::AddLock()
{
    const LONG count = InterlockedIncrement(&lockCount);
    // Marked after the count: a monitor that looked at the count before it
    // rose finds the mark when it decides.
    ChangeOpenState(&activationState, [](LONG state) { return state | kLockTaken; });
    return count;
}

bool ServerModule::BeginActivation()
{
    return ChangeOpenState(&activationState, [](LONG state) { return state + kActivationUnderWay; }) >= 0;
}

void ServerModule::EndActivation()
{
    ChangeOpenState(&activationState, [](LONG state) { return state - kActivationUnderWay; });
}

// The mark is cleared before the counts are read, so that an activation that
// takes a lock and ends between that reading and the exchange fails it: the
// exchange closes only a state with nothing under way and nothing new.
bool ServerModule::CloseIfIdle()
{
    ChangeOpenState(&activationState, [](LONG state) { return state & ~kLockTaken; });
    if (activity != 0 || lockCount != 0)
        return false;
    return InterlockedCompareExchange(&activationState, kServerClosing, 0) == 0;
}

void ServerModule::AddServerLock()
{
    InterlockedIncrement(&serverLocks);
    AddLock();
}

bool ServerModule::ReleaseServerLock()
{
    if (ChangeOpenState(&serverLocks, [](LONG held) { return held > 0 ? held - 1 : 0; }) == 0)
        return false;
    ReleaseLock();
    return true;
}

LONG ServerModule::ReleaseLock()
{
    const LONG count = InterlockedDecrement(&lockCount);
    if (count == 0) {
        // The flag first, so that a monitor woken by the event finds it set.
        activity = 1;
        SetEvent(shutdownEvent);
    }
    return count;
}
