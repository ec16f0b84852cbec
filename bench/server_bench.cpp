// server_bench KELMO7_EXE KELMO7_WIN32_EXE [ROUNDS]: the server
// against the platform's own DLL surrogate hosting the same sample component,
// measured side by side in one run: activation, call round trips, release,
// exit delay and peak working set; then cached name lookups in process.
// Paths are given in Unix form; they lie on drive Z:.
#include <windows.h>
#include <ole2.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "KelmoHosted.h"
#include "bench_support.h"
#include "dispatch.h"
#include "guids.h"
#include "hosted_component_registration.h"
#include "server_module.h"
#include "wine_test_support.h"

namespace {

using namespace testing_support;

// The surrogate's application identifier, made up for this benchmark.
const GUID kSurrogateAppId = {0x6C1A7B20, 0x51E3, 0x4D8A, {0x9B, 0x44, 0x12, 0x7E, 0x3C, 0x55, 0x0A, 0x91}};

struct Figures {
    std::vector<double> activation, smallCall, stringCall, release, exitDelay, peakKiB;
    int failures = 0;
};

// One round: activate, reach the hosted interface, call, measure, release.
void Round(bool throughHost, Figures& figures)
{
    const char* image = throughHost ? "Kelmo7.exe" : "dllhost.exe";
    IKelmoHosted* hosted = nullptr;
    double start = NowMs();
    HRESULT hr;
    // Both activations ask for the component's interface at once: the host
    // then creates the component while it makes its object.
    hr = CoCreateInstance(throughHost ? CLSID_Kelmo : CLSID_KelmoHosted, nullptr, CLSCTX_LOCAL_SERVER, IID_IKelmoHosted,
                          reinterpret_cast<void**>(&hosted));
    if (FAILED(hr)) {
        std::printf("  %s activation failed: 0x%08lX\n", image, static_cast<unsigned long>(hr));
        ++figures.failures;
        return;
    }
    figures.activation.push_back(NowMs() - start);

    LONG serverId = 0;
    IKelmoHosted_get_ProcessId(hosted, &serverId);
    HANDLE server = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE, FALSE,
                                static_cast<DWORD>(serverId));
    std::vector<double> small, string;
    BSTR text = SysAllocString(std::wstring(100, L'k').c_str());
    for (int i = 0; i < 200; ++i) {
        LONG sum;
        start = NowMs();
        IKelmoHosted_Add(hosted, i, 1, &sum);
        small.push_back(NowMs() - start);
        BSTR echoed = nullptr;
        start = NowMs();
        IKelmoHosted_Echo(hosted, text, &echoed);
        string.push_back(NowMs() - start);
        SysFreeString(echoed);
    }
    SysFreeString(text);
    figures.smallCall.push_back(Median(small));
    figures.stringCall.push_back(Median(string));

    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    if (server != nullptr && GetProcessMemoryInfo(server, &memory, sizeof(memory)))
        figures.peakKiB.push_back(static_cast<double>(memory.PeakWorkingSetSize) / 1024.0);

    start = NowMs();
    IKelmoHosted_Release(hosted);
    const double released = NowMs();
    figures.release.push_back(released - start);
    if (server == nullptr)
        return;
    if (throughHost) {
        if (WaitForSingleObject(server, 20000) == WAIT_OBJECT_0)
            figures.exitDelay.push_back(NowMs() - released);
    } else {
        // The platform's surrogate never ends by itself here: end it by its id.
        if (WaitForSingleObject(server, 2000) != WAIT_OBJECT_0) {
            TerminateProcess(server, 0);
            WaitForSingleObject(server, 5000);
        }
    }
    CloseHandle(server);
}

void Row(const char* what, double ours, double peer, const char* unit)
{
    std::printf("| %-38s | %10.3f %-3s | %10.3f %-3s | %6.3f |\n", what, ours, unit, peer, unit,
                peer != 0 ? ours / peer : 0.0);
}

// Cached lookups against the type information's own, in this process.
void NameLookups(const std::string& kelmo7)
{
    HMODULE program = LoadLibraryA(kelmo7.c_str());
    serverModule.Setup(nullptr, program);
    ITypeLib* library = nullptr;
    const std::wstring wide(kelmo7.begin(), kelmo7.end());
    LoadTypeLibEx(wide.c_str(), REGKIND_REGISTER, &library);
    TypeInfoHolder holder = {&IID_IKelmo, &LIBID_Kelmo7_83, 1, 0, nullptr, nullptr, 0, false};
    if (FAILED(holder.LoadTypeInfo(0))) {
        std::printf("name lookups: the type library could not be loaded\n");
        return;
    }
    OLECHAR name[] = L"GetTypeInfoCount";
    LPOLESTR names[] = {name};
    DISPID id;
    const int kCalls = 200000;
    double start = NowMs();
    for (int i = 0; i < kCalls; ++i)
        holder.LookupIds(names, 1, 0, &id);
    const double cached = (NowMs() - start) * 1e6 / kCalls;
    start = NowMs();
    for (int i = 0; i < kCalls; ++i)
        ITypeInfo_GetIDsOfNames(holder.typeInfo, names, 1, &id);
    const double own = (NowMs() - start) * 1e6 / kCalls;
    std::printf(
        "GetIDsOfNames(\"GetTypeInfoCount\"), %d calls in process: cached %.0f ns, "
        "type information's own %.0f ns, speed-up %.1fx\n",
        kCalls, cached, own, own / cached);
    ServerModule::Teardown(&serverModule);
    if (library != nullptr)
        ITypeLib_Release(library);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: server_bench KELMO7_EXE KELMO7_WIN32_EXE [ROUNDS]\n");
        return 2;
    }
    const std::string kelmo7 = WindowsPath(argv[1]);
    const std::string win32 = WindowsPath(argv[2]);
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 7;
    CoInitialize(nullptr);

    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (GetFileAttributesExA(win32.c_str(), GetFileExInfoStandard, &attributes)) {
        std::printf("Kelmo7.exe (win32): %lu bytes (goal 24 KiB = 24576 bytes or less)\n", attributes.nFileSizeLow);
        TableRow("size of the win32 Kelmo7.exe", attributes.nFileSizeLow / 1024.0, "KiB", 0, "-", "24 KiB or less");
    } else
        std::printf("Kelmo7.exe (win32): not found at %s (build the win32 preset first)\n", win32.c_str());

    if (RunProcess(kelmo7 + " /RegServer").exitCode != 0 || RegisterHostedComponent() != S_OK) {
        std::printf("registration failed\n");
        return 1;
    }
    // The same component in the platform's surrogate. An empty DllSurrogate
    // would send this 64-bit client to a 32-bit surrogate that the prefix lacks.
    const std::string appId = GuidText(kSurrogateAppId);
    WriteString(HKEY_CLASSES_ROOT, "AppID\\" + appId, "DllSurrogate", "C:\\windows\\system32\\dllhost.exe");
    WriteString(HKEY_CLASSES_ROOT, "CLSID\\" + GuidText(CLSID_KelmoHosted), "AppID", appId);

    Figures host, surrogate;
    for (int i = 0; i < rounds; ++i) {
        Round(true, host);
        Round(false, surrogate);
    }
    std::printf("\n%d rounds each, alternated; medians\n", rounds);
    std::printf("| %-38s | %14s | %14s | %6s |\n", "", "Kelmo7 host", "dllhost", "ratio");
    std::printf("|%s|%s|%s|%s|\n", std::string(40, '-').c_str(), std::string(16, '-').c_str(),
                std::string(16, '-').c_str(), std::string(8, '-').c_str());
    Row("activation to the hosted interface", Median(host.activation), Median(surrogate.activation), "ms");
    Row("round trip, Add(long, long)", Median(host.smallCall), Median(surrogate.smallCall), "ms");
    Row("round trip, Echo of 100 characters", Median(host.stringCall), Median(surrogate.stringCall), "ms");
    Row("release", Median(host.release), Median(surrogate.release), "ms");
    Row("peak working set of the server", Median(host.peakKiB), Median(surrogate.peakKiB), "KiB");
    std::printf("| %-38s | %10.0f ms  | %14s | %6s |\n", "exit delay after the last release (floor 1500)",
                Median(host.exitDelay), "never exits", "-");
    TableRow("activation to the component, host vs dllhost", Median(host.activation), "ms",
             Median(surrogate.activation), "", "1.05 or less");
    TableRow("round trip Add(long, long)", Median(host.smallCall), "ms", Median(surrogate.smallCall), "",
             "1.05 or less");
    TableRow("round trip Echo of 100 characters", Median(host.stringCall), "ms", Median(surrogate.stringCall), "",
             "1.05 or less");
    TableRow("release of the last reference", Median(host.release), "ms", Median(surrogate.release), "",
             "1.05 or less");
    TableRow("exit delay after the last release", Median(host.exitDelay), "ms", 0, "dllhost never exits by itself",
             "within 100 ms of 1500");
    TableRow("peak working set of the server", Median(host.peakKiB), "KiB", Median(surrogate.peakKiB), "",
             "1.05 or less");
    if (host.failures + surrogate.failures != 0)
        std::printf("failed activations: host %d, surrogate %d\n", host.failures, surrogate.failures);

    UnregisterHostedComponent();
    RunProcess(kelmo7 + " /UnregServer");
    NameLookups(kelmo7);
    CoUninitialize();
    return 0;
}
