// The sample hosted component in process: its class object, aggregation with
// a fake outer, its members and IDispatch through its own type information.
#include <gtest/gtest.h>

#include "hosted_component_registration.h"
#include "wine_test_support.h"

#include <initguid.h>

#include "KelmoHosted.h"

#include <string>

namespace {

// An outer object that counts the calls reaching it. It answers IUnknown
// itself and hands every other request to the inner object, as an aggregating
// object does.
struct FakeOuter {
    const IUnknownVtbl* operations;
    int queries = 0;
    int addRefs = 0;
    int releases = 0;
    IUnknown* inner = nullptr;
};

FakeOuter* OuterOf(IUnknown* self) { return reinterpret_cast<FakeOuter*>(self); }

HRESULT STDMETHODCALLTYPE OuterQueryInterface(IUnknown* self, REFIID iid, void** out)
{
    FakeOuter* outer = OuterOf(self);
    ++outer->queries;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown)) {
        ++outer->addRefs;
        *out = self;
        return S_OK;
    }
    return outer->inner != nullptr ? IUnknown_QueryInterface(outer->inner, iid, out) : E_NOINTERFACE;
}
ULONG STDMETHODCALLTYPE OuterAddRef(IUnknown* self) { return static_cast<ULONG>(++OuterOf(self)->addRefs); }
ULONG STDMETHODCALLTYPE OuterRelease(IUnknown* self) { return static_cast<ULONG>(100 - ++OuterOf(self)->releases); }
const IUnknownVtbl kOuterOperations = {OuterQueryInterface, OuterAddRef, OuterRelease};

class HostedComponent : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        module_ = LoadLibraryA(testing_support::HostedComponentPath().c_str());
        ASSERT_NE(nullptr, module_) << testing_support::HostedComponentPath();
        getClassObject_ =
            reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
        canUnloadNow_ =
            reinterpret_cast<CanUnloadNow>(reinterpret_cast<void*>(GetProcAddress(module_, "DllCanUnloadNow")));
        ASSERT_NE(nullptr, getClassObject_);
        ASSERT_NE(nullptr, canUnloadNow_);
        ASSERT_EQ(S_OK, getClassObject_(CLSID_KelmoHosted, IID_IClassFactory, reinterpret_cast<void**>(&factory_)));
    }

    void TearDown() override
    {
        if (factory_ != nullptr)
            IClassFactory_Release(factory_);
        // Every test gives back all it took: nothing keeps the module loaded.
        if (canUnloadNow_ != nullptr) {
            EXPECT_EQ(S_OK, canUnloadNow_());
        }
        if (module_ != nullptr)
            FreeLibrary(module_);
        CoUninitialize();
    }

    IKelmoHosted* NewPlain()
    {
        IKelmoHosted* hosted = nullptr;
        EXPECT_EQ(S_OK,
                  IClassFactory_CreateInstance(factory_, nullptr, IID_IKelmoHosted, reinterpret_cast<void**>(&hosted)));
        return hosted;
    }

    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();
    HMODULE module_ = nullptr;
    GetClassObject getClassObject_ = nullptr;
    CanUnloadNow canUnloadNow_ = nullptr;
    IClassFactory* factory_ = nullptr;
};

TEST_F(HostedComponent, ClassObjectServesOnlyItsClassAndKeepsTheModuleLoaded)
{
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject_(IID_IKelmoHosted, IID_IClassFactory, &other));
    EXPECT_EQ(nullptr, other);
    other = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, getClassObject_(CLSID_KelmoHosted, IID_IDispatch, &other));
    EXPECT_EQ(nullptr, other);

    EXPECT_EQ(S_FALSE, canUnloadNow_()) << "the fixture holds the class object";
    IClassFactory_Release(factory_);
    factory_ = nullptr;
    EXPECT_EQ(S_OK, canUnloadNow_());

    ASSERT_EQ(S_OK, getClassObject_(CLSID_KelmoHosted, IID_IUnknown, reinterpret_cast<void**>(&factory_)));
    EXPECT_EQ(S_OK, IClassFactory_LockServer(factory_, TRUE));
    IClassFactory_Release(factory_);
    factory_ = nullptr;
    EXPECT_EQ(S_FALSE, canUnloadNow_()) << "a LockServer lock outlives the reference";
    ASSERT_EQ(S_OK, getClassObject_(CLSID_KelmoHosted, IID_IClassFactory, reinterpret_cast<void**>(&factory_)));
    EXPECT_EQ(S_OK, IClassFactory_LockServer(factory_, FALSE));
}

TEST_F(HostedComponent, PlainObjectIsItsOwnIdentity)
{
    IKelmoHosted* hosted = NewPlain();
    ASSERT_NE(nullptr, hosted);
    IUnknown* unknown = nullptr;
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(S_OK, IKelmoHosted_QueryInterface(hosted, IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    ASSERT_EQ(S_OK, IKelmoHosted_QueryInterface(hosted, IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
    EXPECT_EQ(static_cast<void*>(hosted), static_cast<void*>(dispatch));
    EXPECT_NE(static_cast<void*>(hosted), static_cast<void*>(unknown));
    IUnknown* again = nullptr;
    ASSERT_EQ(S_OK, IDispatch_QueryInterface(dispatch, IID_IUnknown, reinterpret_cast<void**>(&again)));
    EXPECT_EQ(unknown, again);
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, IKelmoHosted_QueryInterface(hosted, IID_IClassFactory, &other));
    EXPECT_EQ(nullptr, other);

    // One count for all of them: four references, and the last Release says 0.
    EXPECT_EQ(3u, IUnknown_Release(again));
    EXPECT_EQ(2u, IUnknown_Release(unknown));
    EXPECT_EQ(1u, IDispatch_Release(dispatch));
    EXPECT_EQ(S_FALSE, canUnloadNow_()) << "a live object keeps the module loaded";
    EXPECT_EQ(0u, IKelmoHosted_Release(hosted));
}

TEST_F(HostedComponent, AggregatedInterfacesDelegateToTheOuter)
{
    FakeOuter outer{&kOuterOperations};
    IUnknown* outerUnknown = reinterpret_cast<IUnknown*>(&outer);
    ASSERT_EQ(S_OK, IClassFactory_CreateInstance(factory_, outerUnknown, IID_IUnknown,
                                                 reinterpret_cast<void**>(&outer.inner)));
    ASSERT_NE(nullptr, outer.inner);
    EXPECT_NE(outerUnknown, outer.inner);
    EXPECT_EQ(0, outer.addRefs) << "an inner object holds no reference on its outer";

    // The non-delegating IUnknown counts for itself.
    EXPECT_EQ(2u, IUnknown_AddRef(outer.inner));
    EXPECT_EQ(1u, IUnknown_Release(outer.inner));
    IUnknown* innerAgain = nullptr;
    ASSERT_EQ(S_OK, IUnknown_QueryInterface(outer.inner, IID_IUnknown, reinterpret_cast<void**>(&innerAgain)));
    EXPECT_EQ(outer.inner, innerAgain);
    EXPECT_EQ(1u, IUnknown_Release(innerAgain));
    EXPECT_EQ(0, outer.queries + outer.addRefs + outer.releases);

    // The inner's answer for IKelmoHosted counts on the outer, and so does
    // everything done through it.
    IKelmoHosted* hosted = nullptr;
    ASSERT_EQ(S_OK, IUnknown_QueryInterface(outer.inner, IID_IKelmoHosted, reinterpret_cast<void**>(&hosted)));
    EXPECT_EQ(1, outer.addRefs);
    IKelmoHosted_AddRef(hosted);
    EXPECT_EQ(2, outer.addRefs);
    IKelmoHosted_Release(hosted);
    EXPECT_EQ(1, outer.releases);
    EXPECT_EQ(2u, IUnknown_AddRef(outer.inner)) << "the inner's own count is untouched";
    IUnknown_Release(outer.inner);

    IUnknown* identity = nullptr;
    ASSERT_EQ(S_OK, IKelmoHosted_QueryInterface(hosted, IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(1, outer.queries);
    EXPECT_EQ(outerUnknown, identity) << "the aggregate's identity is the outer";
    IUnknown_Release(identity);
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(S_OK, IKelmoHosted_QueryInterface(hosted, IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
    EXPECT_EQ(2, outer.queries);
    EXPECT_EQ(static_cast<void*>(hosted), static_cast<void*>(dispatch));
    IDispatch_Release(dispatch);

    LONG sum = 0;
    EXPECT_EQ(S_OK, IKelmoHosted_Add(hosted, 20, 22, &sum));
    EXPECT_EQ(42, sum);
    IKelmoHosted_Release(hosted);
    EXPECT_EQ(outer.addRefs, outer.releases) << "every reference that reached the outer went back";

    // The outer releases the inner last, and that frees it.
    EXPECT_EQ(S_FALSE, canUnloadNow_());
    IClassFactory_Release(factory_);
    factory_ = nullptr;
    EXPECT_EQ(S_FALSE, canUnloadNow_()) << "the inner object is still alive";
    EXPECT_EQ(0u, IUnknown_Release(outer.inner));
    EXPECT_EQ(S_OK, canUnloadNow_());
}

TEST_F(HostedComponent, OuterWithAnotherInterfaceIsRefused)
{
    FakeOuter outer{&kOuterOperations};
    for (const IID* iid : {&IID_IKelmoHosted, &IID_IDispatch}) {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(CLASS_E_NOAGGREGATION,
                  IClassFactory_CreateInstance(factory_, reinterpret_cast<IUnknown*>(&outer), *iid, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(0, outer.queries + outer.addRefs + outer.releases);
    EXPECT_EQ(E_POINTER, IClassFactory_CreateInstance(factory_, nullptr, IID_IKelmoHosted, nullptr));
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, IClassFactory_CreateInstance(factory_, nullptr, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
}

TEST_F(HostedComponent, MembersAnswerInThisProcess)
{
    IKelmoHosted* hosted = NewPlain();
    ASSERT_NE(nullptr, hosted);

    LONG processId = 0;
    EXPECT_EQ(S_OK, IKelmoHosted_get_ProcessId(hosted, &processId));
    EXPECT_EQ(static_cast<LONG>(GetCurrentProcessId()), processId);
    EXPECT_EQ(E_POINTER, IKelmoHosted_get_ProcessId(hosted, nullptr));

    // 100 characters, with a character outside ASCII and an embedded null.
    std::wstring text;
    for (int i = 0; i < 100; ++i)
        text += static_cast<wchar_t>(L'a' + i % 26);
    text[10] = L'\u00e9';
    text[50] = L'\0';
    BSTR input = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    BSTR echoed = nullptr;
    ASSERT_EQ(S_OK, IKelmoHosted_Echo(hosted, input, &echoed));
    ASSERT_EQ(100u, SysStringLen(echoed));
    EXPECT_EQ(text, std::wstring(echoed, SysStringLen(echoed)));
    EXPECT_NE(input, echoed) << "the echo is a copy the caller owns";
    SysFreeString(echoed);
    SysFreeString(input);

    // A null BSTR is the empty string; its echo is an empty string, not null.
    echoed = nullptr;
    ASSERT_EQ(S_OK, IKelmoHosted_Echo(hosted, nullptr, &echoed));
    ASSERT_NE(nullptr, echoed);
    EXPECT_EQ(0u, SysStringLen(echoed));
    SysFreeString(echoed);
    input = SysAllocString(L"");
    echoed = nullptr;
    ASSERT_EQ(S_OK, IKelmoHosted_Echo(hosted, input, &echoed));
    EXPECT_EQ(0u, SysStringLen(echoed));
    SysFreeString(echoed);
    SysFreeString(input);
    EXPECT_EQ(E_POINTER, IKelmoHosted_Echo(hosted, nullptr, nullptr));

    LONG sum = 1;
    EXPECT_EQ(S_OK, IKelmoHosted_Add(hosted, -7, 3, &sum));
    EXPECT_EQ(-4, sum);
    EXPECT_EQ(S_OK, IKelmoHosted_Add(hosted, MAXLONG, MINLONG, &sum));
    EXPECT_EQ(-1, sum);
    // A sum that does not fit is reported, not wrapped.
    EXPECT_EQ(DISP_E_OVERFLOW, IKelmoHosted_Add(hosted, MAXLONG, 1, &sum));
    EXPECT_EQ(0, sum);
    EXPECT_EQ(DISP_E_OVERFLOW, IKelmoHosted_Add(hosted, MINLONG, -1, &sum));
    EXPECT_EQ(E_POINTER, IKelmoHosted_Add(hosted, 1, 2, nullptr));

    EXPECT_EQ(0u, IKelmoHosted_Release(hosted));
}

class HostedDispatch : public HostedComponent {
protected:
    void SetUp() override
    {
        HostedComponent::SetUp();
        hosted_ = NewPlain();
        ASSERT_NE(nullptr, hosted_);
        dispatch_ = reinterpret_cast<IDispatch*>(hosted_);
    }
    void TearDown() override
    {
        if (hosted_ != nullptr) {
            EXPECT_EQ(0u, IKelmoHosted_Release(hosted_));
        }
        HostedComponent::TearDown();
    }

    HRESULT IdOf(const wchar_t* name, DISPID* id)
    {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        return IDispatch_GetIDsOfNames(dispatch_, IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
    }

    HRESULT InvokeByName(const wchar_t* name, WORD flags, VARIANT* arguments, UINT count, VARIANT* result)
    {
        DISPID id;
        const HRESULT hr = IdOf(name, &id);
        if (FAILED(hr))
            return hr;
        DISPPARAMS parameters = {arguments, nullptr, count, 0};
        return IDispatch_Invoke(dispatch_, id, IID_NULL, LOCALE_USER_DEFAULT, flags, &parameters, result, nullptr,
                                nullptr);
    }

    IKelmoHosted* hosted_ = nullptr;
    IDispatch* dispatch_ = nullptr;
};

TEST_F(HostedDispatch, TypeInformationDescribesTheInterface)
{
    UINT count = 0;
    EXPECT_EQ(S_OK, IDispatch_GetTypeInfoCount(dispatch_, &count));
    EXPECT_EQ(1u, count);
    ITypeInfo* info = nullptr;
    ASSERT_EQ(S_OK, IDispatch_GetTypeInfo(dispatch_, 0, LOCALE_USER_DEFAULT, &info));
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, ITypeInfo_GetTypeAttr(info, &attributes));
    EXPECT_TRUE(IsEqualIID(IID_IKelmoHosted, attributes->guid));
    ITypeInfo_ReleaseTypeAttr(info, attributes);
    ITypeInfo_Release(info);
    info = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_EQ(DISP_E_BADINDEX, IDispatch_GetTypeInfo(dispatch_, 1, LOCALE_USER_DEFAULT, &info));
    EXPECT_EQ(nullptr, info);

    DISPID id = 0;
    EXPECT_EQ(S_OK, IdOf(L"Add", &id));
    EXPECT_EQ(3, id);
    EXPECT_EQ(S_OK, IdOf(L"eCHO", &id)) << "names are matched in any letter case";
    EXPECT_EQ(2, id);
    EXPECT_EQ(DISP_E_UNKNOWNNAME, IdOf(L"Subtract", &id));
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"Add")};
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
              IDispatch_GetIDsOfNames(dispatch_, IID_IKelmoHosted, names, 1, LOCALE_USER_DEFAULT, &id));
}

TEST_F(HostedDispatch, InvokeReachesTheMembers)
{
    // Arguments go in reverse order.
    VARIANT arguments[2];
    VariantInit(&arguments[0]);
    VariantInit(&arguments[1]);
    V_VT(&arguments[0]) = VT_I4;
    V_I4(&arguments[0]) = 2;
    V_VT(&arguments[1]) = VT_I4;
    V_I4(&arguments[1]) = 40;
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(S_OK, InvokeByName(L"Add", DISPATCH_METHOD, arguments, 2, &result));
    EXPECT_EQ(VT_I4, V_VT(&result));
    EXPECT_EQ(42, V_I4(&result));

    VariantInit(&result);
    ASSERT_EQ(S_OK, InvokeByName(L"ProcessId", DISPATCH_PROPERTYGET, nullptr, 0, &result));
    EXPECT_EQ(VT_I4, V_VT(&result));
    EXPECT_EQ(static_cast<LONG>(GetCurrentProcessId()), V_I4(&result));

    VARIANT text;
    VariantInit(&text);
    V_VT(&text) = VT_BSTR;
    V_BSTR(&text) = SysAllocString(L"through IDispatch");
    VariantInit(&result);
    ASSERT_EQ(S_OK, InvokeByName(L"Echo", DISPATCH_METHOD, &text, 1, &result));
    ASSERT_EQ(VT_BSTR, V_VT(&result));
    EXPECT_EQ(std::wstring(L"through IDispatch"), std::wstring(V_BSTR(&result)));
    VariantClear(&result);
    VariantClear(&text);

    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, IDispatch_Invoke(dispatch_, 3, IID_IDispatch, LOCALE_USER_DEFAULT,
                                                        DISPATCH_METHOD, &none, &result, nullptr, nullptr));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, IDispatch_Invoke(dispatch_, 77, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                                      &none, &result, nullptr, nullptr));
}

}  // namespace
