// The module record: heap modes, the allocator, shutdown callbacks, the lock
// count, and what setup and teardown tell the class table.
#include <gtest/gtest.h>

#include <vector>

#include "class_table.h"
#include "module_allocator.h"
#include "server_module.h"

namespace {

PlatformFacts Windows9x(DWORD processors) { return {VER_PLATFORM_WIN32_WINDOWS, 4, processors}; }
PlatformFacts Nt4(DWORD processors) { return {VER_PLATFORM_WIN32_NT, 4, processors}; }
PlatformFacts Nt(DWORD major, DWORD processors) { return {VER_PLATFORM_WIN32_NT, major, processors}; }

HANDLE HeaderHeap(void* block) { return *reinterpret_cast<HANDLE*>(static_cast<BYTE*>(block) - 8); }

// Every test sets the module up and tears it down in its own body; the
// fixture only makes sure that a test stopped by a failed assertion does not
// leave the module set up for the next one.
class ModuleRecord : public ::testing::Test {
protected:
    void SetUpWith(const PlatformFacts& facts)
    {
        ASSERT_EQ(S_OK, serverModule.Setup(nullptr, nullptr, &facts));
        ASSERT_NE(nullptr, serverModule.baseHeap);
    }
    void TearDown() override
    {
        if (serverModule.baseHeap != nullptr)
            ServerModule::Teardown(&serverModule);
    }
};

TEST_F(ModuleRecord, ExtraHeapCountFollowsProcessorCountBeforeNt5)
{
    const struct {
        DWORD processors;
        DWORD heapMask;
    } rows[] = {{2, 3}, {3, 3}, {4, 7}, {5, 7}, {7, 7}, {8, 15}, {9, 15}, {15, 15}, {16, 31}, {32, 63}};
    for (const auto& row : rows) {
        for (const PlatformFacts& facts : {Windows9x(row.processors), Nt4(row.processors)}) {
            SetUpWith(facts);
            EXPECT_EQ(row.heapMask, serverModule.heapMask) << row.processors << " processors";
            ASSERT_NE(nullptr, serverModule.extraHeaps);
            for (DWORD i = 0; i <= serverModule.heapMask; ++i) {
                EXPECT_NE(nullptr, serverModule.extraHeaps[i]);
                EXPECT_NE(serverModule.baseHeap, serverModule.extraHeaps[i]);
            }
            ServerModule::Teardown(&serverModule);
        }
    }
}

TEST_F(ModuleRecord, NoExtraHeapsOnNt5AndLaterOrOnOneProcessor)
{
    for (const PlatformFacts& facts : {Nt(5, 1), Nt(5, 2), Nt(6, 64), Nt(10, 3), Windows9x(1), Nt4(1), Nt4(0)}) {
        SetUpWith(facts);
        EXPECT_EQ(nullptr, serverModule.extraHeaps);
        EXPECT_EQ(0u, serverModule.heapMask);
        // Base-heap mode hands out the heap's own block, without a header.
        void* block = ModuleAlloc(24);
        ASSERT_NE(nullptr, block);
        EXPECT_TRUE(HeapValidate(serverModule.baseHeap, 0, block));
        EXPECT_GE(HeapSize(serverModule.baseHeap, 0, block), 24u);
        ModuleFree(block);
        ServerModule::Teardown(&serverModule);
    }
}

TEST_F(ModuleRecord, ThisMachineUsesBaseHeapMode)
{
    ASSERT_EQ(S_OK, serverModule.Setup(nullptr, nullptr));
    EXPECT_EQ(nullptr, serverModule.extraHeaps);  // Wine reports NT 6 or later
}

TEST_F(ModuleRecord, AllocationsRotateOverExtraHeapsAndHeadersNameThem)
{
    SetUpWith(Windows9x(2));
    ASSERT_EQ(3u, serverModule.heapMask);
    std::vector<void*> blocks;
    for (int i = 0; i < 9; ++i) {
        void* block = ModuleAlloc(16);
        ASSERT_NE(nullptr, block);
        HANDLE expected = serverModule.extraHeaps[i % 4];
        EXPECT_EQ(expected, HeaderHeap(block)) << "allocation " << i;
        EXPECT_TRUE(HeapValidate(expected, 0, static_cast<BYTE*>(block) - 8));
        blocks.push_back(block);
    }
    for (void* block : blocks)
        ModuleFree(block);
    EXPECT_TRUE(HeapValidate(serverModule.extraHeaps[0], 0, nullptr));
}

TEST_F(ModuleRecord, ReallocKeepsContentsAndHeap)
{
    for (const PlatformFacts& facts : {Windows9x(3), Nt(6, 2)}) {
        SetUpWith(facts);
        ModuleFree(ModuleAlloc(8));  // move the rotation on, away from heap 0
        BYTE* block = static_cast<BYTE*>(ModuleAlloc(32));
        ASSERT_NE(nullptr, block);
        for (int i = 0; i < 32; ++i)
            block[i] = static_cast<BYTE>(i * 7);
        const bool extra = serverModule.extraHeaps != nullptr;
        HANDLE heap = extra ? HeaderHeap(block) : serverModule.baseHeap;
        BYTE* grown = static_cast<BYTE*>(ModuleRealloc(block, 100000));
        ASSERT_NE(nullptr, grown);
        for (int i = 0; i < 32; ++i)
            ASSERT_EQ(static_cast<BYTE>(i * 7), grown[i]);
        if (extra) {
            EXPECT_EQ(heap, HeaderHeap(grown));
            EXPECT_TRUE(HeapValidate(heap, 0, grown - 8));
        } else {
            EXPECT_TRUE(HeapValidate(heap, 0, grown));
        }
        BYTE* shrunk = static_cast<BYTE*>(ModuleRealloc(grown, 4));
        ASSERT_NE(nullptr, shrunk);
        EXPECT_EQ(0, shrunk[0]);
        EXPECT_EQ(21, shrunk[3]);
        ModuleFree(shrunk);
        ServerModule::Teardown(&serverModule);
    }
}

TEST_F(ModuleRecord, SizesThatWouldWrapWithTheHeaderAreRefused)
{
    SetUpWith(Windows9x(2));
    EXPECT_EQ(nullptr, ModuleAlloc(MAXDWORD));
    EXPECT_EQ(nullptr, ModuleAlloc(MAXDWORD - 7));
    BYTE* block = static_cast<BYTE*>(ModuleAlloc(4));
    ASSERT_NE(nullptr, block);
    block[0] = 0x5A;
    // A refused realloc leaves the old block valid, with its contents.
    EXPECT_EQ(nullptr, ModuleRealloc(block, MAXDWORD - 3));
    EXPECT_EQ(0x5A, block[0]);
    EXPECT_TRUE(HeapValidate(HeaderHeap(block), 0, block - 8));
    ModuleFree(block);
}

TEST_F(ModuleRecord, NullPointersAndAMissingHeap)
{
    SetUpWith(Windows9x(2));
    ModuleFree(nullptr);
    void* block = ModuleRealloc(nullptr, 12);  // allocates, from the next heap in turn
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(serverModule.extraHeaps[0], HeaderHeap(block));
    ModuleFree(block);
    ServerModule::Teardown(&serverModule);
    // With no heap, allocation fails cleanly and nothing touches a missing heap.
    EXPECT_EQ(nullptr, ModuleAlloc(8));
    EXPECT_EQ(nullptr, ModuleRealloc(nullptr, 8));
    ModuleFree(reinterpret_cast<void*>(static_cast<ULONG_PTR>(0x10)));
}

std::vector<ULONG_PTR> ranCallbacks;
void RecordCallback(ULONG_PTR argument) { ranCallbacks.push_back(argument); }

TEST_F(ModuleRecord, TermCallbacksRunNewestFirstEachOnceWithTheirArgument)
{
    SetUpWith(Nt(6, 2));
    ranCallbacks.clear();
    ASSERT_EQ(S_OK, serverModule.AddTermCallback(RecordCallback, 11));
    ASSERT_EQ(S_OK, serverModule.AddTermCallback(RecordCallback, 22));
    ASSERT_EQ(S_OK, serverModule.AddTermCallback(RecordCallback, 33));
    ASSERT_EQ(S_OK, serverModule.AddTermCallback(RecordCallback, 33));  // duplicates run twice
    EXPECT_TRUE(ranCallbacks.empty());
    EXPECT_EQ(S_OK, ServerModule::Teardown(&serverModule));
    EXPECT_EQ((std::vector<ULONG_PTR>{33, 33, 22, 11}), ranCallbacks);
    EXPECT_EQ(nullptr, serverModule.termCallbacks);

    // A node that cannot be allocated registers nothing.
    ranCallbacks.clear();
    EXPECT_EQ(E_OUTOFMEMORY, serverModule.AddTermCallback(RecordCallback, 44));
    SetUpWith(Nt(6, 2));
    ServerModule::Teardown(&serverModule);
    EXPECT_TRUE(ranCallbacks.empty());
}

TEST_F(ModuleRecord, TeardownWithoutARecordIsRefused) { EXPECT_EQ(E_INVALIDARG, ServerModule::Teardown(nullptr)); }

TEST_F(ModuleRecord, LockCountSignalsTheMonitorOnlyWhenItReachesZero)
{
    SetUpWith(Nt(6, 2));
    serverModule.shutdownEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, serverModule.shutdownEvent);
    serverModule.activity = 0;
    EXPECT_EQ(1, serverModule.AddLock());
    EXPECT_EQ(2, serverModule.AddLock());
    EXPECT_EQ(1, serverModule.ReleaseLock());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(serverModule.shutdownEvent, 0));
    EXPECT_EQ(0, serverModule.activity);
    EXPECT_EQ(0, serverModule.ReleaseLock());
    EXPECT_EQ(1, serverModule.activity);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(serverModule.shutdownEvent, 0));
    // An unmatched release goes below zero without a signal.
    serverModule.activity = 0;
    EXPECT_EQ(-1, serverModule.ReleaseLock());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(serverModule.shutdownEvent, 0));
    EXPECT_EQ(0, serverModule.AddLock());
    EXPECT_EQ(0, serverModule.activity);
    // Teardown closes the event that the monitor left open.
    HANDLE event = serverModule.shutdownEvent;
    ServerModule::Teardown(&serverModule);
    EXPECT_EQ(nullptr, serverModule.shutdownEvent);
    EXPECT_FALSE(SetEvent(event));
}

// A class table whose rows record what setup and teardown tell them.
std::vector<int> hookEvents;
void HookA(BOOL starting) { hookEvents.push_back(starting ? 1 : -1); }
void HookB(BOOL starting) { hookEvents.push_back(starting ? 2 : -2); }

struct CountedUnknown {
    IUnknownVtbl* operations;
    int releases;
};
HRESULT STDMETHODCALLTYPE CountedQuery(IUnknown*, REFIID, void** out) { return *out = nullptr, E_NOINTERFACE; }
ULONG STDMETHODCALLTYPE CountedAddRef(IUnknown*) { return 2; }
ULONG STDMETHODCALLTYPE CountedRelease(IUnknown* self)
{
    ++reinterpret_cast<CountedUnknown*>(self)->releases;
    return 0;
}
IUnknownVtbl countedOperations = {CountedQuery, CountedAddRef, CountedRelease};

TEST_F(ModuleRecord, SetupAndTeardownTellEveryClassAndReleaseCachedClassObjects)
{
    const CLSID a = {1, 0, 0, {0}}, b = {2, 0, 0, {0}};
    CountedUnknown cached = {&countedOperations, 0};
    ClassEntry table[] = {
        {&a, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, HookA},
        {&b, nullptr, nullptr, nullptr, reinterpret_cast<IUnknown*>(&cached), 0, nullptr, nullptr, HookB},
        {},
        {&a, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, HookA},  // behind the terminator
    };
    hookEvents.clear();
    const PlatformFacts facts = Nt(6, 2);
    ASSERT_EQ(S_OK, serverModule.Setup(table, nullptr, &facts));
    EXPECT_EQ((std::vector<int>{1, 2}), hookEvents);
    ServerModule::Teardown(&serverModule);
    EXPECT_EQ((std::vector<int>{1, 2, -1, -2}), hookEvents);
    EXPECT_EQ(1, cached.releases);
    EXPECT_EQ(nullptr, table[1].classObject);
}

}  // namespace
