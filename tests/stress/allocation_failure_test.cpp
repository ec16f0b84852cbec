// A test build of the program whose k-th allocation fails, for every k up to
// the number of allocations a scenario makes: registration, unregistration and
// an activation with a call. No crash, no hang, no success with work missing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "KelmoHosted.h"
#include "guids.h"
#include "hosted_component_registration.h"
#include "registry_snapshot.h"
#include "server_process.h"
#include "wine_test_support.h"

using namespace testing_support;

namespace {

const std::string kProbed = WindowsPath(KELMO7_PROBED_EXE);
const std::string kServer = WindowsPath(KELMO7_EXE);
const std::string kClassKey = "CLSID\\" + GuidText(CLSID_Kelmo);
const std::string kAppIdKey = "AppID\\" + GuidText(APPID_Kelmo7);
const std::string kExecutableKey = "AppID\\Kelmo7.EXE";
const std::string kReport = "allocation_probe_report.txt";

void SetProbe(int failAt)
{
    SetEnvironmentVariableA("KELMO_FAIL_ALLOCATION", std::to_string(failAt).c_str());
    SetEnvironmentVariableA("KELMO_PROBE_REPORT", kReport.c_str());
    DeleteFileA(kReport.c_str());
}

// The number of allocation attempts the last probed run reported; -1 without a report.
int ReportedAttempts()
{
    FILE* file = std::fopen(kReport.c_str(), "rb");
    if (file == nullptr)
        return -1;
    int attempts = -1;
    if (std::fscanf(file, "%d", &attempts) != 1)
        attempts = -1;
    std::fclose(file);
    return attempts;
}

// An exit code that is an exception status, not an HRESULT: the run crashed.
bool Crashed(DWORD exitCode) { return (exitCode & 0xF0000000u) == 0xC0000000u; }

DWORD RunProbed(const std::string& tail, int failAt)
{
    SetProbe(failAt);
    const ProcessResult result = RunProcess(kProbed + tail, 60000);
    EXPECT_TRUE(result.finished) << tail << " with allocation " << failAt << " failing hangs";
    EXPECT_FALSE(Crashed(result.exitCode))
        << tail << " with allocation " << failAt << " crashed: 0x" << std::hex << result.exitCode;
    return result.exitCode;
}

bool Registered(const std::string& key) { return KeyExists(HKEY_CLASSES_ROOT, key); }

bool TypeLibraryRegistered()
{
    ITypeLib* library = nullptr;
    if (FAILED(LoadRegTypeLib(LIBID_Kelmo7_83, 1, 0, 0, &library)))
        return false;
    ITypeLib_Release(library);
    return true;
}

void CleanRegistry()
{
    RunProcess(kServer + " /UnregServer");
    for (const std::string& key : {kClassKey, kAppIdKey, kExecutableKey, std::string("Kelmo7_83.Kelmo")})
        DeleteTree(HKEY_CLASSES_ROOT, key);
}

int Limit(int attempts)
{
    const char* limit = std::getenv("KELMO_ALLOCATION_FAILURE_LIMIT");
    return limit != nullptr ? std::min(attempts, std::atoi(limit)) : attempts;
}

class AllocationFailure : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitialize(nullptr);
        CleanRegistry();
    }
    void TearDown() override
    {
        SetEnvironmentVariableA("KELMO_FAIL_ALLOCATION", nullptr);
        CleanRegistry();
        CoUninitialize();
    }
};

TEST_F(AllocationFailure, RegistrationFailsCleanlyOrCompletes)
{
    ASSERT_EQ(0u, RunProbed(" /RegServer", 0));
    const int attempts = ReportedAttempts();
    ASSERT_GT(attempts, 0);
    const RegistryTree classKey = Snapshot(HKEY_CLASSES_ROOT, kClassKey);
    const RegistryTree appIdKey = Snapshot(HKEY_CLASSES_ROOT, kAppIdKey);
    const RegistryTree executableKey = Snapshot(HKEY_CLASSES_ROOT, kExecutableKey);
    ASSERT_FALSE(appIdKey.empty());
    ASSERT_FALSE(executableKey.empty());
    int failures = 0;
    for (int k = 1; k <= Limit(attempts); ++k) {
        CleanRegistry();
        const DWORD exitCode = RunProbed(" /RegServer", k);
        // The AppID script's failure is ignored: it is rolled back or complete,
        // and a registration that fails takes it back.
        const RegistryTree appId = Snapshot(HKEY_CLASSES_ROOT, kAppIdKey);
        EXPECT_TRUE(appId.empty() || (exitCode == 0 && Differences(appIdKey, appId).empty())) << "allocation " << k;
        const RegistryTree executable = Snapshot(HKEY_CLASSES_ROOT, kExecutableKey);
        EXPECT_EQ(appId.empty(), executable.empty()) << "allocation " << k;
        EXPECT_TRUE(executable.empty() || (exitCode == 0 && Differences(executableKey, executable).empty()))
            << "allocation " << k;
        if (exitCode == 0) {
            EXPECT_EQ("", Differences(classKey, Snapshot(HKEY_CLASSES_ROOT, kClassKey))) << "allocation " << k;
            EXPECT_TRUE(Registered("Kelmo7_83.Kelmo\\CLSID")) << "allocation " << k;
            EXPECT_TRUE(TypeLibraryRegistered()) << "allocation " << k;
        } else {
            // Out of memory, or a script error when the "Module" pair could
            // not be added and the script then names an unknown variable.
            ++failures;
            EXPECT_TRUE(exitCode == static_cast<DWORD>(E_OUTOFMEMORY) ||
                        exitCode == static_cast<DWORD>(DISP_E_EXCEPTION))
                << "allocation " << k << ": 0x" << std::hex << exitCode;
            EXPECT_FALSE(Registered(kClassKey)) << "allocation " << k;
            EXPECT_FALSE(Registered("Kelmo7_83.Kelmo")) << "allocation " << k;
            EXPECT_FALSE(TypeLibraryRegistered()) << "allocation " << k;
        }
    }
    std::printf("registration: %d allocations, %d failure points tried, %d reported as failures\n", attempts,
                Limit(attempts), failures);
}

// The entries registration writes, each key below HKEY_CLASSES_ROOT with
// everything under it; the type library by the platform's own lookup.
RegistryTree Registration()
{
    RegistryTree entries;
    for (const std::string& key : {kClassKey, kAppIdKey, kExecutableKey, std::string("Kelmo7_83.Kelmo")}) {
        for (const auto& [path, values] : Snapshot(HKEY_CLASSES_ROOT, key))
            entries[path.empty() ? key : key + "\\" + path] = values;
    }
    if (TypeLibraryRegistered())
        entries["type library"] = {};
    return entries;
}

// Unregistration reports success whatever a step met, by design. Unhindered it
// removes everything; with an allocation failing, what it leaves is part of
// the registration, unchanged.
TEST_F(AllocationFailure, UnregistrationAlwaysEndsCleanly)
{
    ASSERT_EQ(0u, RunProcess(kServer + " /RegServer").exitCode);
    const RegistryTree registered = Registration();
    // The class key and its five subkeys, the two AppID keys, the ProgID and
    // its CLSID key, and the type library.
    ASSERT_EQ(11u, registered.size()) << Listing(registered);
    ASSERT_EQ(0u, RunProbed(" /UnregServer", 0));
    EXPECT_EQ("", Listing(Registration()));
    const int attempts = ReportedAttempts();
    ASSERT_GT(attempts, 0);
    int incomplete = 0;
    for (int k = 1; k <= Limit(attempts); ++k) {
        ASSERT_EQ(0u, RunProcess(kServer + " /RegServer").exitCode);
        EXPECT_EQ(0u, RunProbed(" /UnregServer", k)) << "allocation " << k;
        const RegistryTree left = Registration();
        incomplete += left.empty() ? 0 : 1;
        for (const auto& [path, values] : left) {
            const auto found = registered.find(path);
            EXPECT_TRUE(found != registered.end() && found->second == values) << "allocation " << k << ": " << path;
        }
    }
    std::printf("unregistration: %d allocations, %d failure points tried, %d left entries behind\n", attempts,
                Limit(attempts), incomplete);
}

// Over a working registration of the same file every run leaves it as it
// was: one that completes writes the same entries again, and one whose
// allocation fails, while it saves what it will change or later, puts back
// all it changed.
TEST_F(AllocationFailure, ARegistrationOverAWorkingOneLeavesItAsFound)
{
    ASSERT_EQ(0u, RunProbed(" /RegServer", 0));
    const int attempts = ReportedAttempts();
    ASSERT_GT(attempts, 0);
    const std::string found = Listing(Registration());
    ASSERT_NE(std::string::npos, found.find("LocalServer32")) << found;
    int failures = 0;
    for (int k = 1; k <= Limit(attempts); ++k) {
        const DWORD exitCode = RunProbed(" /RegServer", k);
        failures += exitCode == 0 ? 0 : 1;
        EXPECT_TRUE(exitCode == 0 || exitCode == static_cast<DWORD>(E_OUTOFMEMORY) ||
                    exitCode == static_cast<DWORD>(DISP_E_EXCEPTION))
            << "allocation " << k << ": 0x" << std::hex << exitCode;
        EXPECT_EQ(found, Listing(Registration())) << "allocation " << k;
    }
    std::printf("registration over a working one: %d allocations, %d failure points tried, %d failures\n", attempts,
                Limit(attempts), failures);
}

// One activation, a query for the hosted interface and an IDispatch call;
// returns the number of allocations the server reported.
int ActivateAndCall(int failAt)
{
    SetProbe(failAt);
    // The server is looked for while the activation is under way: one that
    // could not publish its class object may be gone before the COM runtime
    // gives up waiting for it.
    const std::vector<DWORD> before = ProcessIdsNamed("Kelmo7_probed.exe");
    DWORD serverId = 0;
    HANDLE serverHandle = nullptr;
    std::thread watcher([&] {
        serverId = WaitForNewProcess("Kelmo7_probed.exe", before, 10000);
        serverHandle = OpenProcessForOwner(serverId);
    });
    IUnknown* host = nullptr;
    HRESULT hr;
    {
        StepBound bound("the activation", kActivationBoundMs);
        hr = CoCreateInstance(CLSID_Kelmo, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, reinterpret_cast<void**>(&host));
    }
    watcher.join();
    OwnedProcess server(serverId, serverHandle);
    // Unhindered, everything works; the failure points are judged against that.
    const bool unhindered = failAt == 0;
    if (SUCCEEDED(hr)) {
        IKelmoHosted* hosted = nullptr;
        hr = IUnknown_QueryInterface(host, IID_IKelmoHosted, reinterpret_cast<void**>(&hosted));
        EXPECT_TRUE(hr == S_OK || (hr == E_OUTOFMEMORY && !unhindered))
            << std::hex << hr << " with allocation " << failAt;
        EXPECT_EQ(hr == S_OK, hosted != nullptr) << "allocation " << failAt;
        if (hosted != nullptr) {
            LONG sum = 0;
            EXPECT_EQ(S_OK, IKelmoHosted_Add(hosted, 2, 3, &sum));
            EXPECT_EQ(5, sum);
            IKelmoHosted_Release(hosted);
        }
        IDispatch* dispatch = nullptr;
        hr = IUnknown_QueryInterface(host, IID_IDispatch, reinterpret_cast<void**>(&dispatch));
        EXPECT_TRUE(SUCCEEDED(hr) || !unhindered) << std::hex << hr;
        if (SUCCEEDED(hr)) {
            OLECHAR name[] = L"GetTypeInfoCount";
            LPOLESTR names[] = {name};
            DISPID id = 0;
            hr = IDispatch_GetIDsOfNames(dispatch, IID_NULL, names, 1, 0, &id);
            EXPECT_TRUE(hr == S_OK || (hr == E_OUTOFMEMORY && !unhindered))
                << std::hex << hr << " with allocation " << failAt;
            if (hr == S_OK) {
                EXPECT_EQ(0x60010000, id) << "allocation " << failAt;
            }
            IDispatch_Release(dispatch);
        }
        IUnknown_Release(host);
    } else {
        EXPECT_FALSE(unhindered) << "activation failed with no allocation failing: " << std::hex << hr;
    }
    DWORD exitCode = 1;
    EXPECT_TRUE(server.WaitForExit(60000, &exitCode)) << "server with allocation " << failAt << " hangs";
    EXPECT_EQ(0u, exitCode) << "server with allocation " << failAt;
    return ReportedAttempts();
}

TEST_F(AllocationFailure, ActivationFailsCleanlyOrWorks)
{
    ASSERT_EQ(0u, RunProcess(kProbed + " /RegServer").exitCode);
    HostedComponentRegistration hosted;
    ASSERT_EQ(S_OK, hosted.result());
    const int attempts = ActivateAndCall(0);
    ASSERT_GT(attempts, 0);
    for (int k = 1; k <= Limit(attempts); ++k)
        ActivateAndCall(k);
    std::printf("activation: %d allocations, %d failure points tried\n", attempts, Limit(attempts));
    RunProcess(kProbed + " /UnregServer");
}

}  // namespace
