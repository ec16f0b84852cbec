// The server out of process, registered by its own /RegServer and activated by
// ProgID through the real COM runtime, with the sample hosted component.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "KelmoHosted.h"
#include "guids.h"
#include "hosted_component_registration.h"
#include "server_process.h"
#include "wine_test_support.h"

using namespace testing_support;

namespace {

const std::string kServer = WindowsPath(KELMO7_EXE);
// The sample component's switch: it asks its outer object for its own
// interface while it is made, and records the answer in the file named.
const char kAsksOuter[] = "KELMO_HOSTED_ASKS_OUTER";

class Activation : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(0u, RunProcess(kServer + " /RegServer").exitCode);
        ASSERT_EQ(S_OK, RegisterHostedComponent());
    }
    static void TearDownTestSuite()
    {
        UnregisterHostedComponent();
        RunProcess(kServer + " /UnregServer");
    }
    void SetUp() override { ASSERT_EQ(S_OK, CoInitialize(nullptr)); }
    void TearDown() override
    {
        SetEnvironmentVariableA(kAsksOuter, nullptr);
        CoUninitialize();
    }

    // Activates by ProgID; the server process's id comes from the hosted component.
    IUnknown* Activate(DWORD* serverId)
    {
        CLSID classId;
        EXPECT_EQ(S_OK, CLSIDFromProgID(L"Kelmo7_83.Kelmo", &classId));
        EXPECT_TRUE(IsEqualCLSID(CLSID_Kelmo, classId));
        IUnknown* host = nullptr;
        {
            StepBound bound("the activation", kActivationBoundMs);
            EXPECT_EQ(S_OK, CoCreateInstance(classId, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                             reinterpret_cast<void**>(&host)));
        }
        if (host == nullptr)
            return nullptr;
        IKelmoHosted* hosted = nullptr;
        EXPECT_EQ(S_OK, IUnknown_QueryInterface(host, IID_IKelmoHosted, reinterpret_cast<void**>(&hosted)));
        LONG id = 0;
        if (hosted != nullptr) {
            EXPECT_EQ(S_OK, IKelmoHosted_get_ProcessId(hosted, &id));
            IKelmoHosted_Release(hosted);
        }
        *serverId = static_cast<DWORD>(id);
        return host;
    }
};

TEST_F(Activation, TheHostedComponentRunsInTheServerWithTheHostsIdentity)
{
    DWORD serverId = 0;
    IUnknown* host = Activate(&serverId);
    ASSERT_NE(nullptr, host);
    OwnedProcess server(serverId);
    EXPECT_NE(GetCurrentProcessId(), serverId);
    ASSERT_TRUE(server.valid());

    IKelmoHosted* hosted = nullptr;
    ASSERT_EQ(S_OK, IUnknown_QueryInterface(host, IID_IKelmoHosted, reinterpret_cast<void**>(&hosted)));
    BSTR text = SysAllocString(L"through the host");
    BSTR echoed = nullptr;
    EXPECT_EQ(S_OK, IKelmoHosted_Echo(hosted, text, &echoed));
    EXPECT_STREQ(L"through the host", echoed);
    SysFreeString(echoed);
    SysFreeString(text);

    IUnknown* throughHosted = nullptr;
    IUnknown* throughHost = nullptr;
    ASSERT_EQ(S_OK, IKelmoHosted_QueryInterface(hosted, IID_IUnknown, reinterpret_cast<void**>(&throughHosted)));
    ASSERT_EQ(S_OK, IUnknown_QueryInterface(host, IID_IUnknown, reinterpret_cast<void**>(&throughHost)));
    EXPECT_EQ(throughHost, throughHosted);
    IUnknown_Release(throughHosted);
    IUnknown_Release(throughHost);

    IKelmoHosted_Release(hosted);
    IUnknown_Release(host);
    DWORD exitCode = 1;
    ASSERT_TRUE(server.WaitForExit(kStuckAfterMs, &exitCode)) << "server still running";
    EXPECT_EQ(0u, exitCode);
}

TEST_F(Activation, TheHostAnswersIDispatchThroughItsTypeInformation)
{
    DWORD serverId = 0;
    IUnknown* host = Activate(&serverId);
    ASSERT_NE(nullptr, host);
    OwnedProcess server(serverId);
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(S_OK, IUnknown_QueryInterface(host, IID_IDispatch, reinterpret_cast<void**>(&dispatch)));

    UINT count = 0;
    EXPECT_EQ(S_OK, IDispatch_GetTypeInfoCount(dispatch, &count));
    EXPECT_EQ(1u, count);

    ITypeInfo* info = nullptr;
    ASSERT_EQ(S_OK, IDispatch_GetTypeInfo(dispatch, 0, 0, &info));
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, ITypeInfo_GetTypeAttr(info, &attributes));
    EXPECT_EQ(TKIND_DISPATCH, attributes->typekind);
    EXPECT_TRUE(IsEqualIID(IID_IKelmo, attributes->guid));
    ITypeInfo_ReleaseTypeAttr(info, attributes);
    ITypeInfo_Release(info);

    OLECHAR exact[] = L"GetTypeInfoCount";
    OLECHAR unknown[] = L"NoSuchMember";
    LPOLESTR names[] = {exact};
    DISPID id = 0;
    EXPECT_EQ(S_OK, IDispatch_GetIDsOfNames(dispatch, IID_NULL, names, 1, 0, &id));
    EXPECT_EQ(0x60010000, id);
    names[0] = unknown;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, IDispatch_GetIDsOfNames(dispatch, IID_NULL, names, 1, 0, &id));

    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
              IDispatch_Invoke(dispatch, 12345, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr));

    // IKelmo is marshaled through the registered type library.
    IDispatch* kelmo = nullptr;
    EXPECT_EQ(S_OK, IUnknown_QueryInterface(host, IID_IKelmo, reinterpret_cast<void**>(&kelmo)));
    if (kelmo != nullptr)
        IDispatch_Release(kelmo);

    IDispatch_Release(dispatch);
    IUnknown_Release(host);
    DWORD exitCode = 1;
    ASSERT_TRUE(server.WaitForExit(kStuckAfterMs, &exitCode));
    EXPECT_EQ(0u, exitCode);
}

TEST_F(Activation, TwoActivationsRunInTwoServerProcesses)
{
    DWORD first = 0, second = 0;
    IUnknown* a = Activate(&first);
    IUnknown* b = Activate(&second);
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    OwnedProcess one(first), two(second);
    EXPECT_NE(first, second);
    IUnknown_Release(a);
    IUnknown_Release(b);
    EXPECT_TRUE(one.WaitForExit(kStuckAfterMs, nullptr));
    EXPECT_TRUE(two.WaitForExit(kStuckAfterMs, nullptr));
}

TEST_F(Activation, AnActivationForAnUnansweredInterfaceFailsAndTheServerStillEnds)
{
    // The server is looked for while the activation is under way, so that one
    // that ends soon after the failed call is not missed.
    const std::vector<DWORD> before = ProcessIdsNamed("Kelmo7.exe");
    DWORD serverId = 0;
    HANDLE serverHandle = nullptr;
    std::thread watcher([&] {
        serverId = WaitForNewProcess("Kelmo7.exe", before, kStuckAfterMs);
        serverHandle = OpenProcessForOwner(serverId);
    });
    void* object = &object;
    EXPECT_EQ(E_NOINTERFACE,
              CoCreateInstance(CLSID_Kelmo, nullptr, CLSCTX_LOCAL_SERVER, kUnansweredInterface, &object));
    EXPECT_EQ(nullptr, object);
    watcher.join();
    OwnedProcess server(serverId, serverHandle);
    ASSERT_TRUE(server.valid()) << "no server process was started";
    DWORD exitCode = 1;
    EXPECT_TRUE(server.WaitForExit(kStuckAfterMs, &exitCode));
    EXPECT_EQ(0u, exitCode);
}

// The server started by the COM runtime inherits this process's environment.
TEST_F(Activation, AComponentThatAsksTheHostForItselfWhileMadeIsMadeOnce)
{
    char folder[MAX_PATH];
    ASSERT_NE(0u, GetTempPathA(MAX_PATH, folder));
    const std::string record = std::string(folder) + "kelmo-asks-outer-" + std::to_string(GetCurrentProcessId());
    DeleteFileA(record.c_str());
    SetEnvironmentVariableA(kAsksOuter, record.c_str());

    DWORD serverId = 0;
    IUnknown* host = Activate(&serverId);  // the component's interface answers
    ASSERT_NE(nullptr, host);
    OwnedProcess server(serverId);
    IUnknown_Release(host);
    DWORD exitCode = 1;
    ASSERT_TRUE(server.WaitForExit(kStuckAfterMs, &exitCode)) << "server still running";
    EXPECT_EQ(0u, exitCode);

    // One line per component made: one, whose own query was refused.
    std::ifstream file(record, std::ios::binary);
    const std::string lines{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    file.close();
    DeleteFileA(record.c_str());
    EXPECT_EQ("80004002\n", lines);
}

}  // namespace
