// The host object in process, with a fake hosted component published to the
// COM runtime of this process: identity, references, when the component is
// created, and what a failure to create it looks like.
#include <gtest/gtest.h>

#include "allocation_probe.h"
#include "guids.h"
#include "host_object.h"
#include "server_module.h"

namespace {

// A fake of the hosted component, aggregated correctly: its own IUnknown is
// non-delegating, its interface delegates to the outer object.
struct FakeInner {
    IUnknownVtbl* own;
    IUnknownVtbl* hosted;
    IUnknown* outer;
    LONG references;
    bool refusesItsInterface;
};

int created;
int destroyed;
bool refuseInterface;
bool touchOuter;

FakeInner* FromOwn(IUnknown* self) { return reinterpret_cast<FakeInner*>(self); }
FakeInner* FromHosted(IUnknown* self) { return reinterpret_cast<FakeInner*>(reinterpret_cast<IUnknown**>(self) - 1); }

HRESULT STDMETHODCALLTYPE OwnQuery(IUnknown* self, REFIID iid, void** out)
{
    FakeInner* inner = FromOwn(self);
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown))
        *out = &inner->own;
    else if (IsEqualIID(iid, IID_IHostedComponent) && !inner->refusesItsInterface)
        *out = &inner->hosted;
    else
        return E_NOINTERFACE;
    IUnknown_AddRef(static_cast<IUnknown*>(*out));
    return S_OK;
}
ULONG STDMETHODCALLTYPE OwnAddRef(IUnknown* self) { return ++FromOwn(self)->references; }
ULONG STDMETHODCALLTYPE OwnRelease(IUnknown* self)
{
    FakeInner* inner = FromOwn(self);
    const LONG count = --inner->references;
    if (count == 0) {
        ++destroyed;
        delete inner;
    }
    return count;
}
HRESULT STDMETHODCALLTYPE HostedQuery(IUnknown* self, REFIID iid, void** out)
{
    return IUnknown_QueryInterface(FromHosted(self)->outer, iid, out);
}
ULONG STDMETHODCALLTYPE HostedAddRef(IUnknown* self) { return IUnknown_AddRef(FromHosted(self)->outer); }
ULONG STDMETHODCALLTYPE HostedRelease(IUnknown* self) { return IUnknown_Release(FromHosted(self)->outer); }
IUnknownVtbl ownOperations = {OwnQuery, OwnAddRef, OwnRelease};
IUnknownVtbl hostedOperations = {HostedQuery, HostedAddRef, HostedRelease};

// Many aggregatable components look at their outer object while they are
// made: each query adds a reference to it, which they give back at once.
void TouchOuter(IUnknown* outer)
{
    for (const IID* iid : {&IID_IUnknown, &IID_IDispatch}) {
        IUnknown* answer = nullptr;
        EXPECT_EQ(S_OK, IUnknown_QueryInterface(outer, *iid, reinterpret_cast<void**>(&answer)));
        if (answer != nullptr)
            IUnknown_Release(answer);
    }
}

IUnknown* lastOuter;
HRESULT STDMETHODCALLTYPE FactoryQuery(IClassFactory* self, REFIID iid, void** out)
{
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
        *out = self;
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}
ULONG STDMETHODCALLTYPE FactoryAddRef(IClassFactory*) { return 2; }
ULONG STDMETHODCALLTYPE FactoryRelease(IClassFactory*) { return 1; }
HRESULT STDMETHODCALLTYPE FactoryCreate(IClassFactory*, IUnknown* outer, REFIID iid, void** out)
{
    *out = nullptr;
    lastOuter = outer;
    if (outer == nullptr || !IsEqualIID(iid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    ++created;
    FakeInner* inner = new FakeInner{&ownOperations, &hostedOperations, outer, 1, refuseInterface};
    if (touchOuter)
        TouchOuter(outer);
    *out = inner;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FactoryLock(IClassFactory*, BOOL) { return S_OK; }
IClassFactoryVtbl factoryOperations = {FactoryQuery, FactoryAddRef, FactoryRelease, FactoryCreate, FactoryLock};
IClassFactory fakeFactory = {&factoryOperations};

class HostObjectTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitialize(nullptr);
        serverModule.Setup(nullptr, nullptr);
        created = destroyed = 0;
        refuseInterface = touchOuter = false;
    }
    void TearDown() override
    {
        Unpublish();
        EXPECT_EQ(0, serverModule.lockCount);
        ServerModule::Teardown(&serverModule);
        CoUninitialize();
    }
    void Publish()
    {
        ASSERT_EQ(S_OK, CoRegisterClassObject(CLSID_HostedComponent, reinterpret_cast<IUnknown*>(&fakeFactory),
                                              CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie));
    }
    void Unpublish()
    {
        if (cookie != 0)
            CoRevokeClassObject(cookie);
        cookie = 0;
    }
    static HostObject* Record(void* object) { return static_cast<HostObject*>(object); }
    DWORD cookie = 0;
};

TEST_F(HostObjectTest, AnswersForItselfWithOnePointerAndOneReferenceEach)
{
    Publish();
    IUnknown* object = nullptr;
    ASSERT_EQ(S_OK, NewHostObject(IID_IUnknown, reinterpret_cast<void**>(&object)));
    EXPECT_EQ(1, serverModule.lockCount);
    EXPECT_EQ(1, Record(object)->referenceCount);
    for (const IID* iid : {&IID_IUnknown, &IID_IKelmo, &IID_IDispatch}) {
        void* answer = nullptr;
        ASSERT_EQ(S_OK, IUnknown_QueryInterface(object, *iid, &answer));
        EXPECT_EQ(object, answer);
        EXPECT_EQ(2, Record(object)->referenceCount);
        IUnknown_Release(static_cast<IUnknown*>(answer));
    }
    void* other = &other;
    EXPECT_EQ(E_NOINTERFACE, IUnknown_QueryInterface(object, IID_IClassFactory, &other));
    EXPECT_EQ(nullptr, other);
    EXPECT_EQ(0, created);

    // The controlling unknown is the object itself, without a reference.
    HostObject* host = Record(object);
    EXPECT_EQ(object, host->operations->ControllingUnknown(host));
    EXPECT_EQ(1, host->referenceCount);

    EXPECT_EQ(0u, IUnknown_Release(object));
    EXPECT_EQ(0, serverModule.lockCount);
}

TEST_F(HostObjectTest, CreatesTheHostedComponentOnceOnTheFirstQueryForItsInterface)
{
    Publish();
    IUnknown* object = nullptr;
    ASSERT_EQ(S_OK, NewHostObject(IID_IDispatch, reinterpret_cast<void**>(&object)));
    IUnknown* hosted = nullptr;
    IUnknown* again = nullptr;
    ASSERT_EQ(S_OK, IUnknown_QueryInterface(object, IID_IHostedComponent, reinterpret_cast<void**>(&hosted)));
    ASSERT_EQ(S_OK, IUnknown_QueryInterface(object, IID_IHostedComponent, reinterpret_cast<void**>(&again)));
    EXPECT_EQ(1, created);
    EXPECT_EQ(object, lastOuter);
    EXPECT_EQ(hosted, again);
    EXPECT_EQ(3, Record(object)->referenceCount);  // the component's references reach the host

    // One identity: IUnknown through the component is the host itself.
    IUnknown* identity = nullptr;
    ASSERT_EQ(S_OK, IUnknown_QueryInterface(hosted, IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(object, identity);
    IUnknown_Release(identity);

    IUnknown_Release(again);
    IUnknown_Release(hosted);
    EXPECT_EQ(0, destroyed);
    EXPECT_EQ(0u, IUnknown_Release(object));
    EXPECT_EQ(1, destroyed);  // the final release gives back the component
    EXPECT_EQ(0, serverModule.lockCount);
}

TEST_F(HostObjectTest, AnActivationForTheHostedInterfaceCreatesTheComponentAtOnce)
{
    Publish();
    IUnknown* hosted = nullptr;
    ASSERT_EQ(S_OK, NewHostObject(IID_IHostedComponent, reinterpret_cast<void**>(&hosted)));
    EXPECT_EQ(1, created);
    EXPECT_EQ(1, serverModule.lockCount);
    EXPECT_EQ(0u, IUnknown_Release(hosted));
    EXPECT_EQ(1, destroyed);
}

TEST_F(HostObjectTest, AComponentThatCannotBeCreatedGivesItsOwnFailureAndIsTriedAgain)
{
    IUnknown* object = nullptr;
    ASSERT_EQ(S_OK, NewHostObject(IID_IUnknown, reinterpret_cast<void**>(&object)));
    void* hosted = &hosted;
    const HRESULT hr = IUnknown_QueryInterface(object, IID_IHostedComponent, &hosted);
    EXPECT_EQ(REGDB_E_CLASSNOTREG, hr);
    EXPECT_EQ(nullptr, hosted);
    EXPECT_EQ(nullptr, Record(object)->innerUnknown);

    Publish();
    EXPECT_EQ(S_OK, IUnknown_QueryInterface(object, IID_IHostedComponent, &hosted));
    EXPECT_EQ(1, created);
    IUnknown_Release(static_cast<IUnknown*>(hosted));
    IUnknown_Release(object);
    EXPECT_EQ(1, destroyed);
}

TEST_F(HostObjectTest, ARefusingComponentIsKeptUntilTheHostGoes)
{
    Publish();
    refuseInterface = true;
    IUnknown* object = nullptr;
    ASSERT_EQ(S_OK, NewHostObject(IID_IUnknown, reinterpret_cast<void**>(&object)));
    void* hosted = &hosted;
    EXPECT_EQ(E_NOINTERFACE, IUnknown_QueryInterface(object, IID_IHostedComponent, &hosted));
    EXPECT_EQ(nullptr, hosted);
    EXPECT_NE(nullptr, Record(object)->innerUnknown);
    EXPECT_EQ(E_NOINTERFACE, IUnknown_QueryInterface(object, IID_IHostedComponent, &hosted));
    EXPECT_EQ(1, created);
    EXPECT_EQ(0, destroyed);
    IUnknown_Release(object);
    EXPECT_EQ(1, destroyed);
}

TEST_F(HostObjectTest, AFailedFirstQueryDiscardsTheObjectAndItsLock)
{
    serverModule.shutdownEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    void* out = &out;
    EXPECT_EQ(E_NOINTERFACE, NewHostObject(IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(0, serverModule.lockCount);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(serverModule.shutdownEvent, 0));

    // An activation for the hosted interface whose component refuses it
    // releases the component with the object.
    Publish();
    refuseInterface = true;
    EXPECT_EQ(E_NOINTERFACE, NewHostObject(IID_IHostedComponent, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(1, created);
    EXPECT_EQ(1, destroyed);
}

TEST_F(HostObjectTest, AComponentThatQueriesItsOuterWhileMadeLeavesTheHostWhole)
{
    Publish();
    touchOuter = true;
    IUnknown* hosted = nullptr;
    ASSERT_EQ(S_OK, NewHostObject(IID_IHostedComponent, reinterpret_cast<void**>(&hosted)));
    EXPECT_EQ(1, created);
    EXPECT_EQ(1, serverModule.lockCount);

    // Used through the host: the component's pointer reaches the one live host.
    IUnknown* host = nullptr;
    ASSERT_EQ(S_OK, IUnknown_QueryInterface(hosted, IID_IDispatch, reinterpret_cast<void**>(&host)));
    EXPECT_EQ(2, Record(host)->referenceCount);
    EXPECT_EQ(1u, IUnknown_Release(host));
    EXPECT_EQ(0, destroyed);
    EXPECT_EQ(0u, IUnknown_Release(hosted));
    EXPECT_EQ(1, destroyed);
}

TEST_F(HostObjectTest, AFailedFirstQueryAfterSuchAComponentDestroysEverythingOnce)
{
    Publish();
    touchOuter = refuseInterface = true;
    const LONG liveBlocks = allocationProbe.liveModuleBlocks;
    void* out = &out;
    EXPECT_EQ(E_NOINTERFACE, NewHostObject(IID_IHostedComponent, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(1, destroyed);
    EXPECT_EQ(liveBlocks, allocationProbe.liveModuleBlocks);
    EXPECT_EQ(0, serverModule.lockCount);
}

}  // namespace
