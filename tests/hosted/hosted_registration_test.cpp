// DllRegisterServer and DllUnregisterServer of the sample hosted component:
// the class key, the type library, and what they make possible (activation
// by CLSID, marshaling through the type library).
#include <gtest/gtest.h>

#include "hosted_component_registration.h"
#include "wine_test_support.h"

#include <initguid.h>

#include "KelmoHosted.h"

#include <string>

namespace {

using testing_support::HostedComponentPath;
using testing_support::RegisterHostedComponent;
using testing_support::UnregisterHostedComponent;

const std::string kClassKey = "CLSID\\" + testing_support::GuidText(CLSID_KelmoHosted);

bool LibraryRegistered()
{
    ITypeLib* library = nullptr;
    if (FAILED(LoadRegTypeLib(LIBID_KelmoHostedLib, 1, 0, LOCALE_NEUTRAL, &library)))
        return false;
    ITypeInfo* info = nullptr;
    const HRESULT hr = ITypeLib_GetTypeInfoOfGuid(library, IID_IKelmoHosted, &info);
    if (SUCCEEDED(hr))
        ITypeInfo_Release(info);
    ITypeLib_Release(library);
    return SUCCEEDED(hr);
}

// An outer object that owns itself: the test only needs it to be there.
struct Outer {
    const IUnknownVtbl* operations;
};
HRESULT STDMETHODCALLTYPE OuterQueryInterface(IUnknown*, REFIID, void** out)
{
    *out = nullptr;
    return E_NOINTERFACE;
}
ULONG STDMETHODCALLTYPE OuterAddRef(IUnknown*) { return 2; }
ULONG STDMETHODCALLTYPE OuterRelease(IUnknown*) { return 1; }
const IUnknownVtbl kOuterOperations = {OuterQueryInterface, OuterAddRef, OuterRelease};

class HostedRegistration : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        // Whatever an earlier run left behind; nothing registered is no failure.
        ASSERT_EQ(S_OK, UnregisterHostedComponent());
    }
    void TearDown() override
    {
        UnregisterHostedComponent();
        CoUninitialize();
    }
};

TEST_F(HostedRegistration, RegisterWritesTheClassAndLibraryAndUnregisterRemovesThem)
{
    ASSERT_FALSE(testing_support::KeyExists(HKEY_CLASSES_ROOT, kClassKey));
    ASSERT_FALSE(LibraryRegistered());

    ASSERT_EQ(S_OK, RegisterHostedComponent());
    std::string server;
    ASSERT_TRUE(testing_support::ReadString(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32", nullptr, &server));
    EXPECT_EQ(0, lstrcmpiA(HostedComponentPath().c_str(), server.c_str())) << server;
    std::string threadingModel;
    ASSERT_TRUE(testing_support::ReadString(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32", "ThreadingModel",
                                            &threadingModel));
    EXPECT_EQ("Apartment", threadingModel);
    EXPECT_TRUE(LibraryRegistered());
    EXPECT_EQ(S_OK, RegisterHostedComponent()) << "registering again is harmless";

    ASSERT_EQ(S_OK, UnregisterHostedComponent());
    EXPECT_FALSE(testing_support::KeyExists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_FALSE(LibraryRegistered());
    EXPECT_EQ(S_OK, UnregisterHostedComponent()) << "unregistering again is harmless";
}

TEST_F(HostedRegistration, ActivatesByClassIdAsTheServerDoes)
{
    ASSERT_EQ(S_OK, RegisterHostedComponent());

    // The server's way: in process, aggregated, asking for IUnknown.
    Outer outer = {&kOuterOperations};
    IUnknown* inner = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KelmoHosted, reinterpret_cast<IUnknown*>(&outer),
                                     CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER, IID_IUnknown,
                                     reinterpret_cast<void**>(&inner)));
    IKelmoHosted* hosted = nullptr;
    ASSERT_EQ(S_OK, IUnknown_QueryInterface(inner, IID_IKelmoHosted, reinterpret_cast<void**>(&hosted)));
    LONG processId = 0;
    EXPECT_EQ(S_OK, IKelmoHosted_get_ProcessId(hosted, &processId));
    EXPECT_EQ(static_cast<LONG>(GetCurrentProcessId()), processId);
    IKelmoHosted_Release(hosted);
    EXPECT_EQ(0u, IUnknown_Release(inner));

    ASSERT_EQ(S_OK, UnregisterHostedComponent());
    inner = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_KelmoHosted, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                                    reinterpret_cast<void**>(&inner)));
    EXPECT_EQ(nullptr, inner);
}

// A call from another apartment goes through the proxy that the platform
// builds from the registered type library.
struct CrossApartmentCall {
    IStream* stream = nullptr;
    IKelmoHosted* object = nullptr;
    HRESULT unmarshaled = E_FAIL;
    bool proxy = false;
    LONG sum = 0;
    std::wstring echoed;
};

DWORD WINAPI CallFromAnotherApartment(void* parameter)
{
    auto* call = static_cast<CrossApartmentCall*>(parameter);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IKelmoHosted* hosted = nullptr;
    call->unmarshaled =
        CoGetInterfaceAndReleaseStream(call->stream, IID_IKelmoHosted, reinterpret_cast<void**>(&hosted));
    if (SUCCEEDED(call->unmarshaled)) {
        call->proxy = hosted != call->object;
        IKelmoHosted_Add(hosted, 40, 2, &call->sum);
        BSTR text = SysAllocString(L"across apartments");
        BSTR echoed = nullptr;
        if (SUCCEEDED(IKelmoHosted_Echo(hosted, text, &echoed)))
            call->echoed.assign(echoed, SysStringLen(echoed));
        SysFreeString(echoed);
        SysFreeString(text);
        IKelmoHosted_Release(hosted);
    }
    CoUninitialize();
    return 0;
}

TEST_F(HostedRegistration, LibraryLetsThePlatformMarshalTheInterface)
{
    ASSERT_EQ(S_OK, RegisterHostedComponent());
    IKelmoHosted* hosted = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KelmoHosted, nullptr, CLSCTX_INPROC_SERVER, IID_IKelmoHosted,
                                     reinterpret_cast<void**>(&hosted)));
    CrossApartmentCall call;
    call.object = hosted;
    ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(IID_IKelmoHosted, reinterpret_cast<IUnknown*>(hosted),
                                                          &call.stream));
    HANDLE thread = CreateThread(nullptr, 0, CallFromAnotherApartment, &call, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    // The object lives in this apartment: its calls arrive as window messages.
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, 30000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
    }
    CloseHandle(thread);
    IKelmoHosted_Release(hosted);

    ASSERT_EQ(S_OK, call.unmarshaled);
    EXPECT_TRUE(call.proxy);
    EXPECT_EQ(42, call.sum);
    EXPECT_EQ(L"across apartments", call.echoed);
}

}  // namespace
