// Interface maps, the class factory, and publishing class objects to the COM
// runtime in process.
#include <gtest/gtest.h>

#include "class_factory.h"
#include "class_table.h"
#include "interface_map.h"
#include "server_module.h"

namespace {

// An object with two interfaces, each with its own reference counter, so that
// a test can tell through which interface a reference was added.
struct TwoFaced {
    IUnknownVtbl* first;
    IUnknownVtbl* second;
    int firstRefs;
    int secondRefs;
};

TwoFaced* FromFirst(IUnknown* self) { return reinterpret_cast<TwoFaced*>(self); }
TwoFaced* FromSecond(IUnknown* self)
{
    return reinterpret_cast<TwoFaced*>(reinterpret_cast<BYTE*>(self) - offsetof(TwoFaced, second));
}
HRESULT STDMETHODCALLTYPE NoQuery(IUnknown*, REFIID, void** out) { return *out = nullptr, E_NOINTERFACE; }
ULONG STDMETHODCALLTYPE FirstAddRef(IUnknown* self) { return ++FromFirst(self)->firstRefs; }
ULONG STDMETHODCALLTYPE SecondAddRef(IUnknown* self) { return ++FromSecond(self)->secondRefs; }
ULONG STDMETHODCALLTYPE NoRelease(IUnknown*) { return 1; }
IUnknownVtbl firstOperations = {NoQuery, FirstAddRef, NoRelease};
IUnknownVtbl secondOperations = {NoQuery, SecondAddRef, NoRelease};

const IID iidA = {0xA, 0, 0, {0}};
const IID iidB = {0xB, 0, 0, {0}};
const IID iidC = {0xC, 0, 0, {0}};

// Handlers that report what they were asked and answer as the test wants.
int handlerCalls;
ULONG_PTR lastData;
HRESULT HandlerResult(ULONG_PTR data)
{
    ++handlerCalls;
    lastData = data;
    return static_cast<HRESULT>(data);
}
HRESULT Answers(void* object, REFIID, void** out, ULONG_PTR data)
{
    *out = object;
    return HandlerResult(data);
}
HRESULT Refuses(void*, REFIID, void** out, ULONG_PTR data)
{
    *out = reinterpret_cast<void*>(static_cast<ULONG_PTR>(0xBAD));  // a careless handler
    return HandlerResult(data);
}

class InterfaceMapWalk : public ::testing::Test {
protected:
    void SetUp() override { handlerCalls = 0; }
    TwoFaced object = {&firstOperations, &secondOperations, 0, 0};
    void* out = reinterpret_cast<void*>(static_cast<ULONG_PTR>(0x1234));
};

TEST_F(InterfaceMapWalk, IUnknownTakesTheFirstRowWhateverItsHandler)
{
    const InterfaceEntry map[] = {
        {&iidA, offsetof(TwoFaced, second), Refuses},
        {&iidB, 0, DIRECT_ROW},
        {nullptr, 0, nullptr},
    };
    ASSERT_EQ(S_OK, QueryInterfaceMap(&object, map, IID_IUnknown, &out));
    EXPECT_EQ(&object.second, out);
    EXPECT_EQ(1, object.secondRefs);
    EXPECT_EQ(0, object.firstRefs);
    EXPECT_EQ(0, handlerCalls);
}

TEST_F(InterfaceMapWalk, DirectRowsAddTheReferenceThroughTheirOwnInterface)
{
    const InterfaceEntry map[] = {
        {&iidA, 0, DIRECT_ROW},
        {&iidB, offsetof(TwoFaced, second), DIRECT_ROW},
        {nullptr, 0, nullptr},
    };
    ASSERT_EQ(S_OK, QueryInterfaceMap(&object, map, iidB, &out));
    EXPECT_EQ(&object.second, out);
    ASSERT_EQ(S_OK, QueryInterfaceMap(&object, map, iidA, &out));
    EXPECT_EQ(&object.first, out);
    EXPECT_EQ(1, object.firstRefs);
    EXPECT_EQ(1, object.secondRefs);
}

TEST_F(InterfaceMapWalk, HandlerResultsDecideWhetherTheWalkGoesOn)
{
    // S_FALSE, from a row with or without an id, and a failure from a row
    // without an id go on to the next row.
    // clang-format off
    const InterfaceEntry goesOn[] = {
        {&iidA, 0, DIRECT_ROW},
        {nullptr, static_cast<ULONG_PTR>(E_FAIL), Refuses},
        {&iidC, S_FALSE, Refuses},
        {nullptr, S_FALSE, Refuses},
        {&iidC, 0, Answers},
        {nullptr, 0, nullptr},
    };
    // clang-format on
    ASSERT_EQ(S_OK, QueryInterfaceMap(&object, goesOn, iidC, &out));
    EXPECT_EQ(&object, out);
    EXPECT_EQ(4, handlerCalls);

    // Nobody answers: E_NOINTERFACE, and what a handler left behind is cleared.
    handlerCalls = 0;
    EXPECT_EQ(E_NOINTERFACE, QueryInterfaceMap(&object, goesOn, iidB, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(2, handlerCalls);

    // A failure from a row with an id ends the walk with that failure.
    const InterfaceEntry stops[] = {
        {&iidA, 0, DIRECT_ROW},
        {&iidB, static_cast<ULONG_PTR>(E_ACCESSDENIED), Refuses},
        {nullptr, 0, Answers},
        {nullptr, 0, nullptr},
    };
    handlerCalls = 0;
    EXPECT_EQ(E_ACCESSDENIED, QueryInterfaceMap(&object, stops, iidB, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(1, handlerCalls);
    EXPECT_EQ(static_cast<ULONG_PTR>(E_ACCESSDENIED), lastData);
}

TEST_F(InterfaceMapWalk, NullOutAndUnansweredInterfaces)
{
    const InterfaceEntry map[] = {{&iidA, 0, DIRECT_ROW}, {nullptr, 0, nullptr}};
    EXPECT_EQ(E_POINTER, QueryInterfaceMap(&object, map, iidA, nullptr));
    EXPECT_EQ(E_NOINTERFACE, QueryInterfaceMap(&object, map, iidC, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(0, object.firstRefs);
}

// The class factory, over a fake instance maker.
int makerCalls;
IUnknown* makerOuter;
HRESULT FakeMaker(IUnknown* outer, REFIID, void** out)
{
    ++makerCalls;
    makerOuter = outer;
    *out = reinterpret_cast<void*>(static_cast<ULONG_PTR>(0x5678));
    return S_OK;
}

class ClassFactoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const PlatformFacts facts = {VER_PLATFORM_WIN32_NT, 6, 2};
        serverModule.Setup(nullptr, nullptr, &facts);
        serverModule.shutdownEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        serverModule.activity = 0;  // what an earlier test's release to zero left
        makerCalls = 0;
        ASSERT_EQ(S_OK, MakeClassFactory(FakeMaker, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    }
    void TearDown() override
    {
        if (factory != nullptr) {
            EXPECT_EQ(0u, IClassFactory_Release(factory));
        }
        ServerModule::Teardown(&serverModule);
    }
    void ExpectNothingMadeOrLocked()
    {
        void* out = &out;
        EXPECT_EQ(CO_E_SERVER_STOPPING, IClassFactory_CreateInstance(factory, nullptr, IID_IUnknown, &out));
        EXPECT_EQ(nullptr, out);
        EXPECT_EQ(0, makerCalls);
        EXPECT_EQ(CO_E_SERVER_STOPPING, IClassFactory_LockServer(factory, TRUE));
        EXPECT_EQ(0, serverModule.lockCount);
    }
    IClassFactory* factory = nullptr;
    IUnknown outerObject = {};
};

TEST_F(ClassFactoryTest, AnswersIUnknownAndIClassFactoryWithOnePointer)
{
    void* unknown = nullptr;
    void* again = nullptr;
    ASSERT_EQ(S_OK, IClassFactory_QueryInterface(factory, IID_IUnknown, &unknown));
    ASSERT_EQ(S_OK, IClassFactory_QueryInterface(factory, IID_IClassFactory, &again));
    EXPECT_EQ(factory, unknown);
    EXPECT_EQ(factory, again);
    EXPECT_EQ(4u, IClassFactory_AddRef(factory));
    EXPECT_EQ(3u, IClassFactory_Release(factory));
    EXPECT_EQ(2u, IClassFactory_Release(factory));
    EXPECT_EQ(1u, IClassFactory_Release(factory));
    void* other = &other;
    EXPECT_EQ(E_NOINTERFACE, IClassFactory_QueryInterface(factory, IID_IDispatch, &other));
    EXPECT_EQ(nullptr, other);
}

TEST_F(ClassFactoryTest, MakingForAnUnansweredInterfaceFailsAndKeepsNothing)
{
    void* out = &out;
    EXPECT_EQ(E_NOINTERFACE, MakeClassFactory(FakeMaker, IID_IDispatch, &out));
    EXPECT_EQ(nullptr, out);
}

TEST_F(ClassFactoryTest, CreateInstanceOutAndOuterRules)
{
    EXPECT_EQ(E_POINTER, IClassFactory_CreateInstance(factory, nullptr, IID_IUnknown, nullptr));
    void* out = &out;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, IClassFactory_CreateInstance(factory, &outerObject, IID_IDispatch, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(0, makerCalls);

    // With IID_IUnknown the outer reaches the maker, which decides.
    EXPECT_EQ(S_OK, IClassFactory_CreateInstance(factory, &outerObject, IID_IUnknown, &out));
    EXPECT_EQ(1, makerCalls);
    EXPECT_EQ(&outerObject, makerOuter);
    EXPECT_EQ(reinterpret_cast<void*>(static_cast<ULONG_PTR>(0x5678)), out);
}

// A refused activation leaves a server that nobody reached as it was: the
// first-lock deadline still closes it.
TEST_F(ClassFactoryTest, TheServerClassRefusesEveryOuterAndStaysUnreached)
{
    void* out = &out;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, HostInstanceMaker(&outerObject, IID_IUnknown, &out));
    IClassFactory* hostFactory = nullptr;
    ASSERT_EQ(S_OK, MakeClassFactory(HostInstanceMaker, IID_IClassFactory, reinterpret_cast<void**>(&hostFactory)));
    for (const IID* iid : {&IID_IUnknown, &IID_IDispatch}) {
        out = &out;
        EXPECT_EQ(CLASS_E_NOAGGREGATION, IClassFactory_CreateInstance(hostFactory, &outerObject, *iid, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(0u, IClassFactory_Release(hostFactory));
    EXPECT_TRUE(serverModule.CloseIfIdle());
}

TEST_F(ClassFactoryTest, LockServerPairsBalanceAndTheLastUnlockSignals)
{
    EXPECT_EQ(S_OK, IClassFactory_LockServer(factory, TRUE));
    EXPECT_EQ(S_OK, IClassFactory_LockServer(factory, TRUE));
    EXPECT_EQ(2, serverModule.lockCount);
    EXPECT_EQ(S_OK, IClassFactory_LockServer(factory, FALSE));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(serverModule.shutdownEvent, 0));
    EXPECT_EQ(S_OK, IClassFactory_LockServer(factory, FALSE));
    EXPECT_EQ(0, serverModule.lockCount);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(serverModule.shutdownEvent, 0));
    // Holding the class object itself takes no lock.
    IClassFactory_AddRef(factory);
    EXPECT_EQ(0, serverModule.lockCount);
    IClassFactory_Release(factory);
}

// An unmatched LockServer(FALSE) changes nothing, before an object is made or
// while one lives: the object's release ends the server after an idle window
// of the real shutdown monitor, which posts WM_QUIT to this thread.
TEST_F(ClassFactoryTest, AnUnmatchedUnlockChangesNothing)
{
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // the queue that WM_QUIT goes to
    serverModule.mainThreadId = GetCurrentThreadId();
    CloseHandle(serverModule.shutdownEvent);
    ASSERT_TRUE(serverModule.StartShutdownMonitor());
    IClassFactory* hostFactory = nullptr;
    ASSERT_EQ(S_OK, MakeClassFactory(HostInstanceMaker, IID_IClassFactory, reinterpret_cast<void**>(&hostFactory)));

    EXPECT_EQ(S_OK, IClassFactory_LockServer(hostFactory, FALSE));
    IUnknown* object = nullptr;
    ASSERT_EQ(S_OK,
              IClassFactory_CreateInstance(hostFactory, nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)));
    EXPECT_EQ(S_OK, IClassFactory_LockServer(hostFactory, FALSE));
    EXPECT_EQ(1, serverModule.lockCount);
    IUnknown_Release(object);
    const DWORD released = GetTickCount();
    bool quit = false;
    while (!quit && GetTickCount() - released < 5000) {
        quit = PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
        Sleep(10);
    }
    EXPECT_TRUE(quit) << "no idle window ended the server";
    EXPECT_EQ(0u, IClassFactory_Release(hostFactory));
}

// The shutdown monitor decides with the class factory: once it has closed
// the server, at the first-lock deadline or at the end of an idle window,
// neither an object nor a lock is had.
TEST_F(ClassFactoryTest, AServerClosedAtItsFirstLockDeadlineMakesNothingAndTakesNoLock)
{
    ASSERT_TRUE(serverModule.CloseIfIdle());
    ExpectNothingMadeOrLocked();
}

TEST_F(ClassFactoryTest, AServerClosedAtTheEndOfAnIdleWindowMakesNothingAndTakesNoLock)
{
    EXPECT_EQ(S_OK, IClassFactory_LockServer(factory, TRUE));
    EXPECT_EQ(S_OK, IClassFactory_LockServer(factory, FALSE));
    EXPECT_FALSE(serverModule.CloseIfIdle()) << "closed before a window followed the release";
    serverModule.activity = 0;  // the window passed without another release
    ASSERT_TRUE(serverModule.CloseIfIdle());
    ExpectNothingMadeOrLocked();
}

// Publishing: the class table's rows reach the COM runtime.
const CLSID testClass = {0x6B1D2F3E, 0x1111, 0x4A4A, {0x9C, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}};
const CLSID otherClass = {0x6B1D2F3E, 0x2222, 0x4A4A, {0x9C, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}};
int failingMakerCalls;
HRESULT FailingClassObjectMaker(InstanceMaker, REFIID, void** out)
{
    ++failingMakerCalls;
    *out = nullptr;
    return E_OUTOFMEMORY;
}

class Publishing : public ::testing::Test {
protected:
    void SetUp() override { CoInitialize(nullptr); }
    void TearDown() override
    {
        ServerModule::Teardown(&serverModule);
        CoUninitialize();
    }
    // The rows live in the fixture: teardown walks them after the test body.
    template <size_t N>
    void SetUpWith(const ClassEntry (&rows)[N])
    {
        static_assert(N < sizeof(table) / sizeof(table[0]), "room for the terminator");
        for (size_t i = 0; i < N; ++i)
            table[i] = rows[i];
        const PlatformFacts facts = {VER_PLATFORM_WIN32_NT, 6, 2};
        serverModule.Setup(table, nullptr, &facts);
    }
    ClassEntry table[4] = {};
    static HRESULT ClassObjectOf(const CLSID& id, IClassFactory** out)
    {
        return CoGetClassObject(id, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, reinterpret_cast<void**>(out));
    }
};

TEST_F(Publishing, ATableWithOnlyTheTerminatorPublishesNothing)
{
    SetUpWith({ClassEntry{}});
    EXPECT_EQ(S_OK, PublishClassObjects(&serverModule, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE));
    EXPECT_EQ(S_OK, WithdrawClassObjects(&serverModule));
    EXPECT_EQ(E_INVALIDARG, PublishClassObjects(nullptr, CLSCTX_INPROC_SERVER, 0));
    EXPECT_EQ(E_INVALIDARG, WithdrawClassObjects(nullptr));
}

TEST_F(Publishing, RowsReachTheComRuntimeUntilWithdrawn)
{
    SetUpWith({
        ClassEntry{&testClass, nullptr, MakeClassFactory, FakeMaker, nullptr, 0, nullptr, nullptr, IgnoreModuleEvent},
    });
    ASSERT_EQ(S_OK, PublishClassObjects(&serverModule, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE));
    EXPECT_NE(0u, table[0].registrationCookie);

    IClassFactory* factory = nullptr;
    ASSERT_EQ(S_OK, ClassObjectOf(testClass, &factory));
    void* out = nullptr;
    makerCalls = 0;
    EXPECT_EQ(S_OK, IClassFactory_CreateInstance(factory, nullptr, IID_IUnknown, &out));
    EXPECT_EQ(1, makerCalls);
    IClassFactory_Release(factory);

    EXPECT_EQ(S_OK, WithdrawClassObjects(&serverModule));
    factory = nullptr;
    EXPECT_TRUE(FAILED(ClassObjectOf(testClass, &factory)));
    EXPECT_EQ(nullptr, factory);
}

TEST_F(Publishing, ARowWithoutAMakerIsPassedOverAndAFailingMakerEndsTheWalk)
{
    failingMakerCalls = 0;
    SetUpWith({
        ClassEntry{&testClass, nullptr, nullptr, FakeMaker, nullptr, 0, nullptr, nullptr, IgnoreModuleEvent},
        ClassEntry{&otherClass, nullptr, FailingClassObjectMaker, FakeMaker, nullptr, 0, nullptr, nullptr,
                   IgnoreModuleEvent},
        ClassEntry{&otherClass, nullptr, FailingClassObjectMaker, FakeMaker, nullptr, 0, nullptr, nullptr,
                   IgnoreModuleEvent},
    });
    EXPECT_EQ(S_OK, PublishClassObject(&table[0], CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE));
    EXPECT_EQ(0u, table[0].registrationCookie);
    EXPECT_EQ(E_OUTOFMEMORY, PublishClassObjects(&serverModule, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE));
    EXPECT_EQ(1, failingMakerCalls);
    IClassFactory* factory = nullptr;
    EXPECT_TRUE(FAILED(ClassObjectOf(testClass, &factory)));
}

}  // namespace
