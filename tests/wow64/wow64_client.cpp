// A client of either bitness for tests/wow64/wow64_proof.sh: activates
// Kelmo7_83.Kelmo out of process and checks what it reaches, one line a check.
//   wow64_client 32|64                the server runs as a 32-bit or 64-bit
//                                     process, and the hosted component
//                                     answers through the host
//   wow64_client 32|64 no-component   the same server, but the query for the
//                                     component's interface gets E_NOINTERFACE
// Either way the host names IKelmo through IDispatch. After the last release
// the server ends by itself with exit code 0; after a failed query, whether it
// does is reported, not checked. Exits 0 when every check held.
#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "KelmoHosted.h"
#include "wine_test_support.h"

namespace {

int failures = 0;

void Check(bool held, const char* what, const char* detail = "")
{
    std::printf("   %s: %s%s%s\n", held ? "ok" : "FAILED", what, *detail ? " - " : "", detail);
    if (!held)
        ++failures;
}

void CheckHr(HRESULT hr, HRESULT expected, const char* what)
{
    char detail[64];
    std::snprintf(detail, sizeof detail, "0x%08lX", static_cast<unsigned long>(hr));
    Check(hr == expected, what, detail);
}

// 32 or 64, the bitness the process runs as on this 64-bit platform; 0 when
// it cannot be told.
int Bitness(HANDLE process)
{
    BOOL wow64 = FALSE;
    if (!IsWow64Process(process, &wow64))
        return 0;
    return wow64 ? 32 : 64;
}

// The name of the host's type information, as a scripting client sees it.
bool HostNamesIKelmo(IUnknown* host)
{
    IDispatch* dispatch = nullptr;
    if (FAILED(IUnknown_QueryInterface(host, IID_IDispatch, reinterpret_cast<void**>(&dispatch))))
        return false;
    ITypeInfo* info = nullptr;
    BSTR name = nullptr;
    const bool named = SUCCEEDED(IDispatch_GetTypeInfo(dispatch, 0, LOCALE_USER_DEFAULT, &info)) &&
                       SUCCEEDED(ITypeInfo_GetDocumentation(info, MEMBERID_NIL, &name, nullptr, nullptr, nullptr)) &&
                       name != nullptr && std::wcscmp(name, L"IKelmo") == 0;
    SysFreeString(name);
    if (info != nullptr)
        ITypeInfo_Release(info);
    IDispatch_Release(dispatch);
    return named;
}

void UseComponent(IKelmoHosted* hosted, DWORD serverId)
{
    LONG processId = 0;
    CheckHr(IKelmoHosted_get_ProcessId(hosted, &processId), S_OK, "ProcessId");
    Check(static_cast<DWORD>(processId) == serverId, "the component runs in the server's process");
    LONG sum = 0;
    CheckHr(IKelmoHosted_Add(hosted, 40, 2, &sum), S_OK, "Add(40, 2)");
    Check(sum == 42, "Add(40, 2) is 42");
    CheckHr(IKelmoHosted_Add(hosted, 0x7FFFFFFF, 1, &sum), DISP_E_OVERFLOW, "Add(0x7FFFFFFF, 1) overflows");
    BSTR text = SysAllocString(L"h\u00e9llo, \u4e16\u754c");
    BSTR echoed = nullptr;
    CheckHr(IKelmoHosted_Echo(hosted, text, &echoed), S_OK, "Echo");
    Check(echoed != nullptr && std::wcscmp(echoed, text) == 0, "Echo returns the text unchanged");
    SysFreeString(echoed);
    SysFreeString(text);
}

int Run(int expectedBitness, bool reach)
{
    setvbuf(stdout, nullptr, _IONBF, 0);  // each check shows as it is made
    if (FAILED(CoInitialize(nullptr)))
        return 1;
    CLSID classId = {};
    CheckHr(CLSIDFromProgID(L"Kelmo7_83.Kelmo", &classId), S_OK, "the ProgID names the class");
    const std::vector<DWORD> before = testing_support::ProcessIdsNamed("Kelmo7.exe");
    IUnknown* host = nullptr;
    CheckHr(CoCreateInstance(classId, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, reinterpret_cast<void**>(&host)),
            S_OK, "activation out of process");
    if (host == nullptr)
        return 1;
    const DWORD serverId = testing_support::WaitForNewProcess("Kelmo7.exe", before, 10000);
    HANDLE server = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, serverId);
    char detail[64];
    std::snprintf(detail, sizeof detail, "%d-bit", server != nullptr ? Bitness(server) : 0);
    Check(server != nullptr && Bitness(server) == expectedBitness, "a new Kelmo7.exe process, of the expected bitness",
          detail);
    Check(HostNamesIKelmo(host), "IDispatch on the host names IKelmo");

    IKelmoHosted* hosted = nullptr;
    const HRESULT hr = IUnknown_QueryInterface(host, IID_IKelmoHosted, reinterpret_cast<void**>(&hosted));
    if (reach) {
        CheckHr(hr, S_OK, "the component's interface through the host");
        if (hosted != nullptr)
            UseComponent(hosted, serverId);
    } else {
        CheckHr(hr, E_NOINTERFACE, "the component's interface through the host");
    }
    if (hosted != nullptr)
        IKelmoHosted_Release(hosted);
    IUnknown_Release(host);

    if (server != nullptr) {
        // The idle window is about 1.5 s; an emulated machine under load may take far longer.
        const DWORD released = GetTickCount();
        DWORD exitCode = STILL_ACTIVE;
        const bool ended = WaitForSingleObject(server, reach ? 60000 : 20000) == WAIT_OBJECT_0 &&
                           GetExitCodeProcess(server, &exitCode);
        std::snprintf(detail, sizeof detail, "after %lu ms, exit code %lu",
                      static_cast<unsigned long>(GetTickCount() - released), static_cast<unsigned long>(exitCode));
        if (reach)
            Check(ended && exitCode == 0, "the server ends by itself", detail);
        else  // under Wine the reference taken for the failed query is never given back
            std::printf("   fact: the server %s - %s\n", ended ? "ended" : "has not ended", detail);
        CloseHandle(server);
    }
    CoUninitialize();
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    const int bitness = argc >= 2 ? std::atoi(argv[1]) : 0;
    const bool reach = argc == 2;
    if ((bitness == 32 || bitness == 64) && (reach || (argc == 3 && std::strcmp(argv[2], "no-component") == 0)))
        return Run(bitness, reach);
    std::fprintf(stderr, "usage: wow64_client 32|64 [no-component]\n");
    return 2;
}
