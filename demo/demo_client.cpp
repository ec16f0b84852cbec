// The demo's client: activates Kelmo7_83.Kelmo out of process, reaches the
// hosted component through the host, and watches the server end by itself.
// It exits with 0 only when every call gave the right answer and the server
// ended with exit code 0: installer proofs rest on that.
//   kelmo_demo run
//   kelmo_demo register-hosted DLL | unregister-hosted DLL
#include <windows.h>
#include <ole2.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KelmoHosted.h"

namespace {

double NowMs()
{
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

constexpr DISPID kGetTypeInfoCountId = 0x60010000;

bool Echoes(BSTR sent, BSTR received)
{
    return received != nullptr && SysStringLen(sent) == SysStringLen(received) &&
           std::memcmp(sent, received, SysStringLen(sent) * sizeof(OLECHAR)) == 0;
}

void Step(const char* text) { std::printf("== %s\n", text); }

int Fail(const char* what, HRESULT hr)
{
    std::printf("   %s failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
    return 1;
}

// Counts a call that gave a wrong answer, and says so.
bool Check(bool right, const char* what, int* wrong)
{
    if (!right) {
        std::printf("   WRONG: %s\n", what);
        ++*wrong;
    }
    return right;
}

int CallHostedExport(const char* dll, const char* exportName)
{
    HMODULE module = LoadLibraryA(dll);
    if (module == nullptr)
        return Fail("loading the sample component", HRESULT_FROM_WIN32(GetLastError()));
    using Export = HRESULT(STDAPICALLTYPE*)();
    auto function = reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(module, exportName)));
    const HRESULT hr = function != nullptr ? function() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    FreeLibrary(module);
    std::printf("   %s: 0x%08lX\n", exportName, static_cast<unsigned long>(hr));
    return FAILED(hr) ? 1 : 0;
}

int Run()
{
    CoInitialize(nullptr);
    CLSID classId;
    HRESULT hr = CLSIDFromProgID(L"Kelmo7_83.Kelmo", &classId);
    if (FAILED(hr))
        return Fail("looking up the ProgID Kelmo7_83.Kelmo", hr);

    Step("activating Kelmo7_83.Kelmo out of process (the COM runtime starts Kelmo7.exe)");
    IUnknown* host = nullptr;
    double start = NowMs();
    hr = CoCreateInstance(classId, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, reinterpret_cast<void**>(&host));
    if (FAILED(hr))
        return Fail("CoCreateInstance", hr);
    std::printf("   activation took %.0f ms\n", NowMs() - start);

    Step("reaching the hosted component through the host (created on this first request)");
    IKelmoHosted* hosted = nullptr;
    start = NowMs();
    hr = IUnknown_QueryInterface(host, IID_IKelmoHosted, reinterpret_cast<void**>(&hosted));
    if (FAILED(hr))
        return Fail("QueryInterface for IKelmoHosted", hr);
    std::printf("   first query took %.1f ms\n", NowMs() - start);

    int wrong = 0;
    LONG serverId = 0;
    Check(IKelmoHosted_get_ProcessId(hosted, &serverId) == S_OK, "get_ProcessId", &wrong);
    std::printf("   client process id %lu, hosted component runs in process id %ld\n", GetCurrentProcessId(),
                static_cast<long>(serverId));
    HANDLE server = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(serverId));

    Step("calling the hosted component through the host, 200 calls each");
    BSTR greeting = SysAllocString(L"hello from the client");
    BSTR echoed = nullptr;
    hr = IKelmoHosted_Echo(hosted, greeting, &echoed);
    std::printf("   Echo(\"hello from the client\") -> \"%ls\"\n", echoed != nullptr ? echoed : L"");
    Check(hr == S_OK && Echoes(greeting, echoed), "Echo", &wrong);
    SysFreeString(echoed);
    LONG sum = 0;
    hr = IKelmoHosted_Add(hosted, 40, 2, &sum);
    std::printf("   Add(40, 2) -> %ld\n", static_cast<long>(sum));
    Check(hr == S_OK && sum == 42, "Add", &wrong);
    std::vector<double> adds, echoes;
    int wrongCalls = 0;
    for (int i = 0; i < 200; ++i) {
        start = NowMs();
        hr = IKelmoHosted_Add(hosted, i, i, &sum);
        adds.push_back(NowMs() - start);
        wrongCalls += hr == S_OK && sum == 2 * i ? 0 : 1;
        echoed = nullptr;
        start = NowMs();
        hr = IKelmoHosted_Echo(hosted, greeting, &echoed);
        echoes.push_back(NowMs() - start);
        wrongCalls += hr == S_OK && Echoes(greeting, echoed) ? 0 : 1;
        SysFreeString(echoed);
    }
    Check(wrongCalls == 0, "a repeated Add or Echo", &wrong);
    SysFreeString(greeting);
    std::printf("   round trip: Add median %.3f ms, Echo median %.3f ms\n", Median(adds), Median(echoes));

    Step("asking the host itself through IDispatch");
    IDispatch* dispatch = nullptr;
    hr = IUnknown_QueryInterface(host, IID_IDispatch, reinterpret_cast<void**>(&dispatch));
    if (Check(SUCCEEDED(hr), "QueryInterface for IDispatch", &wrong)) {
        UINT count = 0;
        Check(IDispatch_GetTypeInfoCount(dispatch, &count) == S_OK && count == 1, "GetTypeInfoCount", &wrong);
        OLECHAR name[] = L"GetTypeInfoCount";
        LPOLESTR names[] = {name};
        DISPID id = 0;
        hr = IDispatch_GetIDsOfNames(dispatch, IID_NULL, names, 1, 0, &id);
        std::printf("   GetTypeInfoCount -> %u; GetIDsOfNames(\"GetTypeInfoCount\") -> 0x%08lX (0x%08lX)\n", count,
                    static_cast<unsigned long>(id), static_cast<unsigned long>(hr));
        // The member's id as the type library, built on stdole2's IDispatch, gives it.
        Check(hr == S_OK && id == kGetTypeInfoCountId, "GetIDsOfNames", &wrong);
        IDispatch_Release(dispatch);
    }

    Step("releasing everything; the server ends by itself");
    IKelmoHosted_Release(hosted);
    IUnknown_Release(host);
    const double released = NowMs();
    DWORD exitCode = 1;
    if (server != nullptr && WaitForSingleObject(server, 20000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(server, &exitCode);
        std::printf("   server process %ld ended %.0f ms after the last release, exit code %lu\n",
                    static_cast<long>(serverId), NowMs() - released, exitCode);
    } else {
        std::printf("   server process %ld did not end\n", static_cast<long>(serverId));
    }
    if (server != nullptr)
        CloseHandle(server);
    CoUninitialize();
    if (wrong != 0)
        std::printf("   %d wrong answers\n", wrong);
    return exitCode == 0 && wrong == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "run") == 0)
        return Run();
    if (argc == 3 && std::strcmp(argv[1], "register-hosted") == 0)
        return CallHostedExport(argv[2], "DllRegisterServer");
    if (argc == 3 && std::strcmp(argv[1], "unregister-hosted") == 0)
        return CallHostedExport(argv[2], "DllUnregisterServer");
    std::fprintf(stderr, "usage: kelmo_demo run | register-hosted DLL | unregister-hosted DLL\n");
    return 2;
}
