// IDispatch through type information, against a type library with members of
// its own: the name cache, loading on first need, and the clean-up.
#include <gtest/gtest.h>

#include <string>

#include "dispatch.h"
#include "server_module.h"
#include "wine_test_support.h"

using namespace testing_support;

namespace {

const IID IID_IDispatchProbe = {0x5E3D1A70, 0x7C42, 0x4B8E, {0x9E, 0x0A, 0x0D, 0x15, 0xA7, 0xC0, 0xFF, 0xEE}};
const GUID LIBID_DispatchProbeLib = {0x5E3D1A71, 0x7C42, 0x4B8E, {0x9E, 0x0A, 0x0D, 0x15, 0xA7, 0xC0, 0xFF, 0xEE}};

// Wraps the real type information and counts the lookups that reach it.
struct CountingTypeInfo {
    ITypeInfoVtbl* operations;
    ITypeInfo* real;
    LONG references;
    int idLookups;
    UINT lastCount;
    LPOLESTR* lastNames;
};

CountingTypeInfo* Counting(ITypeInfo* self) { return reinterpret_cast<CountingTypeInfo*>(self); }

HRESULT STDMETHODCALLTYPE CountingQuery(ITypeInfo* self, REFIID, void** out)
{
    *out = nullptr;
    (void)self;
    return E_NOINTERFACE;
}
ULONG STDMETHODCALLTYPE CountingAddRef(ITypeInfo* self) { return ++Counting(self)->references; }
ULONG STDMETHODCALLTYPE CountingRelease(ITypeInfo* self) { return --Counting(self)->references; }
HRESULT STDMETHODCALLTYPE CountingGetIDsOfNames(ITypeInfo* self, LPOLESTR* names, UINT count, MEMBERID* ids)
{
    CountingTypeInfo* counting = Counting(self);
    ++counting->idLookups;
    counting->lastCount = count;
    counting->lastNames = names;
    return ITypeInfo_GetIDsOfNames(counting->real, names, count, ids);
}

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitialize(nullptr);
        serverModule.Setup(nullptr, nullptr);
        Unregister();
    }
    void TearDown() override
    {
        ServerModule::Teardown(&serverModule);  // runs the holder's clean-up
        EXPECT_EQ(nullptr, holder.typeInfo);
        EXPECT_EQ(nullptr, holder.nameCache);
        Unregister();
        CoUninitialize();
    }
    static void Register()
    {
        ITypeLib* library = nullptr;
        const std::wstring path(kLibrary.begin(), kLibrary.end());
        ASSERT_EQ(S_OK, LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, &library));
        ITypeLib_Release(library);
    }
    static void Unregister() { UnRegisterTypeLib(LIBID_DispatchProbeLib, 1, 0, 0, kBuildSysKind); }
    static int TermCallbackCount()
    {
        int count = 0;
        for (TermCallback* node = serverModule.termCallbacks; node != nullptr; node = node->next)
            ++count;
        return count;
    }
    // Puts a counting wrapper in front of the loaded type information.
    void WrapTypeInfo()
    {
        ASSERT_EQ(S_OK, holder.LoadTypeInfo(0));
        counting.real = holder.typeInfo;
        holder.typeInfo = reinterpret_cast<ITypeInfo*>(&counting);
    }
    void UnwrapTypeInfo() { holder.typeInfo = counting.real; }

    static inline const std::string kLibrary = WindowsPath(DISPATCH_PROBE_TLB);
    TypeInfoHolder holder = {&IID_IDispatchProbe, &LIBID_DispatchProbeLib, 1, 0, nullptr, nullptr, 0, false};
    ITypeInfoVtbl countingOperations = [] {
        ITypeInfoVtbl table = {};
        table.QueryInterface = CountingQuery;
        table.AddRef = CountingAddRef;
        table.Release = CountingRelease;
        table.GetIDsOfNames = CountingGetIDsOfNames;
        return table;
    }();
    CountingTypeInfo counting = {&countingOperations, nullptr, 1, 0, 0, nullptr};
};

TEST_F(Dispatch, ExactNamesAreAnsweredFromTheCacheOthersByTheTypeInformation)
{
    Register();
    WrapTypeInfo();
    EXPECT_EQ(10, holder.nameCacheCount);  // IUnknown's three, IDispatch's four, three of its own

    OLECHAR ping[] = L"Ping";
    LPOLESTR names[] = {ping};
    DISPID id = 0;
    EXPECT_EQ(S_OK, holder.LookupIds(names, 1, 0, &id));
    EXPECT_EQ(1, id);
    EXPECT_EQ(0, counting.idLookups);

    OLECHAR shouted[] = L"PING";
    names[0] = shouted;
    id = 0;
    EXPECT_EQ(S_OK, holder.LookupIds(names, 1, 0, &id));
    EXPECT_EQ(1, id);
    EXPECT_EQ(1, counting.idLookups);

    OLECHAR inherited[] = L"GetTypeInfoCount";
    names[0] = inherited;
    EXPECT_EQ(S_OK, holder.LookupIds(names, 1, 0, &id));
    EXPECT_EQ(0x60010000, id);
    EXPECT_EQ(1, counting.idLookups);
    UnwrapTypeInfo();
}

TEST_F(Dispatch, AMissHandsTheWholeSetToTheTypeInformation)
{
    Register();
    WrapTypeInfo();
    // A member, one of its parameters, then its other parameter, whose name is
    // also a member's: the type information gives that one the parameter's
    // position, and the cache then puts the member's id in its place.
    OLECHAR mix[] = L"Mix", second[] = L"second", colour[] = L"Colour";
    LPOLESTR names[] = {mix, second, colour};
    DISPID ids[3] = {-5, -5, -5};
    EXPECT_EQ(S_OK, holder.LookupIds(names, 3, 0, ids));
    EXPECT_EQ(1, counting.idLookups);
    EXPECT_EQ(3u, counting.lastCount);
    EXPECT_EQ(names, counting.lastNames);
    EXPECT_EQ(7, ids[0]);
    EXPECT_EQ(1, ids[1]);  // the parameter's position, from the type information
    EXPECT_EQ(2, ids[2]);  // the member Colour's id, over the position 0 put there

    OLECHAR unknown[] = L"NoSuchMember";
    LPOLESTR missing[] = {unknown};
    EXPECT_EQ(DISP_E_UNKNOWNNAME, holder.LookupIds(missing, 1, 0, ids));
    UnwrapTypeInfo();
}

TEST_F(Dispatch, ACountOfZeroLoadsButTouchesNothing)
{
    DISPID id = 1234;
    EXPECT_TRUE(FAILED(DispatchGetIDsOfNames(holder, nullptr, 0, 0, &id)));
    EXPECT_EQ(1234, id);
    Register();
    EXPECT_EQ(S_OK, DispatchGetIDsOfNames(holder, nullptr, 0, 0, nullptr));
    EXPECT_NE(nullptr, holder.typeInfo);
}

TEST_F(Dispatch, NullPointersAreRefusedNotWrittenThrough)
{
    EXPECT_EQ(E_POINTER, DispatchGetTypeInfoCount(nullptr));
    UINT count = 0;
    EXPECT_EQ(S_OK, DispatchGetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    OLECHAR ping[] = L"Ping";
    LPOLESTR names[] = {ping};
    DISPID id;
    EXPECT_EQ(E_POINTER, DispatchGetIDsOfNames(holder, nullptr, 1, 0, &id));
    EXPECT_EQ(E_POINTER, DispatchGetIDsOfNames(holder, names, 1, 0, nullptr));
    EXPECT_EQ(E_POINTER, DispatchGetTypeInfo(holder, 0, nullptr));
    EXPECT_EQ(nullptr, holder.typeInfo);  // nothing was loaded for them
}

TEST_F(Dispatch, AFailedLoadIsRetriedAndTheCleanUpIsRegisteredOnce)
{
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(&info);
    const HRESULT notRegistered = DispatchGetTypeInfo(holder, 0, &info);
    EXPECT_TRUE(FAILED(notRegistered));
    EXPECT_EQ(nullptr, info);
    EXPECT_EQ(notRegistered, DispatchGetTypeInfo(holder, 0, &info));
    EXPECT_EQ(1, TermCallbackCount());

    Register();
    ASSERT_EQ(S_OK, DispatchGetTypeInfo(holder, 0, &info));
    ASSERT_NE(nullptr, info);
    EXPECT_EQ(1, TermCallbackCount());

    // Every index gives the same type information with one reference more.
    const ULONG before = ITypeInfo_AddRef(info);
    ITypeInfo_Release(info);
    ITypeInfo* again = nullptr;
    ASSERT_EQ(S_OK, DispatchGetTypeInfo(holder, 7, &again));
    EXPECT_EQ(info, again);
    const ULONG after = ITypeInfo_AddRef(info);
    ITypeInfo_Release(info);
    EXPECT_EQ(before + 1, after);
    ITypeInfo_Release(again);
    ITypeInfo_Release(info);
    EXPECT_EQ(1, TermCallbackCount());
}

TEST_F(Dispatch, TheHolderKeepsTheTypeInformationsSecondInterface)
{
    Register();
    ASSERT_EQ(S_OK, holder.LoadTypeInfo(0));
    ITypeInfo2* info2 = nullptr;
    ASSERT_EQ(S_OK, ITypeInfo_QueryInterface(holder.typeInfo, IID_ITypeInfo2, reinterpret_cast<void**>(&info2)));
    EXPECT_EQ(reinterpret_cast<void*>(holder.typeInfo), reinterpret_cast<void*>(info2));
    ITypeInfo2_Release(info2);
}

}  // namespace
