// Check 5: an activation out of process as the client makes it, on a thread of
// its own; the main thread gives every step a time bound and gives up on a
// step that does not finish within it.
#include <windows.h>
#include <ole2.h>
#include <tlhelp32.h>

#include <vector>

#include "bounded_run.h"
#include "deployment_checks.h"
#include "guids.h"

namespace check {

namespace {

// Past the platform's own 60 s window for a server to publish its class
// object, so that the platform's code is what the check shows.
constexpr DWORD kActivationBoundMs = 75000;
constexpr DWORD kServerEndMs = 5000;  // the server's idle window is about half a second

struct Live {
    Report* report = nullptr;
    const Deployment* deployment = nullptr;
    std::wstring serverName;
    std::vector<DWORD> before;  // the server's processes before the activation
    DWORD activationBoundMs = kActivationBoundMs;
    DWORD stepBoundMs = kStepBoundMs;
};

std::vector<DWORD> ProcessIdsNamed(const std::wstring& name)
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return ids;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, name.c_str()) == 0)
            ids.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return ids;
}

std::vector<DWORD> NewProcessIds(const std::wstring& name, const std::vector<DWORD>& before)
{
    std::vector<DWORD> ids;
    for (DWORD candidate : ProcessIdsNamed(name)) {
        bool known = false;
        for (DWORD old : before)
            known = known || old == candidate;
        if (!known)
            ids.push_back(candidate);
    }
    return ids;
}

// The process of that name that is not in `before`, waited for a little: its
// start may show in the list only after the activation returned. *id stays 0
// when there is none; *refused is OpenProcess's error when it refused one.
HANDLE OpenNewProcess(const std::wstring& name, const std::vector<DWORD>& before, DWORD* id, DWORD* refused)
{
    const ULONGLONG deadline = GetTickCount64() + 3000;
    do {
        const std::vector<DWORD> ids = NewProcessIds(name, before);
        if (!ids.empty()) {
            *id = ids.front();
            HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, *id);
            if (process == nullptr)
                *refused = GetLastError();
            return process;
        }
        Sleep(20);
    } while (GetTickCount64() < deadline);
    return nullptr;
}

int ProcessBits(HANDLE process)
{
    BOOL wow64 = FALSE;
    if (!IsWow64Process(process, &wow64))
        return 0;
    if (wow64)
        return 32;
    BOOL selfWow64 = FALSE;
    const bool machine64 = sizeof(void*) == 8 || (IsWow64Process(GetCurrentProcess(), &selfWow64) && selfWow64);
    return machine64 ? 64 : 32;
}

const char* ActivationEntry(HRESULT hr)
{
    struct Entry {
        HRESULT code;
        const char* entry;
    };
    static const Entry kEntries[] = {
        {REGDB_E_CLASSNOTREG, kEntryClassNotRegistered},
        {CO_E_SERVER_STOPPING, kEntryServerStopping},
        {E_ACCESSDENIED, kEntryAccessDenied},
        {CO_E_RUNAS_LOGON_FAILURE, kEntryRunAsLogon},
        {HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), kEntryRpcAtActivation},
        {HRESULT_FROM_WIN32(RPC_S_CALL_FAILED), kEntryRpcAtActivation},
        {RPC_E_DISCONNECTED, kEntryRpcAtActivation},
    };
    for (const Entry& entry : kEntries) {
        if (entry.code == hr)
            return entry.entry;
    }
    return kEntryServerExecFailure;
}

bool NamesIKelmo(IUnknown* host, HRESULT* hr)
{
    IDispatch* dispatch = nullptr;
    ITypeInfo* info = nullptr;
    BSTR name = nullptr;
    *hr = IUnknown_QueryInterface(host, IID_IDispatch, reinterpret_cast<void**>(&dispatch));
    if (SUCCEEDED(*hr))
        *hr = IDispatch_GetTypeInfo(dispatch, 0, LOCALE_USER_DEFAULT, &info);
    if (SUCCEEDED(*hr))
        *hr = ITypeInfo_GetDocumentation(info, MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
    const bool named = SUCCEEDED(*hr) && name != nullptr && lstrcmpW(name, L"IKelmo") == 0;
    SysFreeString(name);
    if (info != nullptr)
        ITypeInfo_Release(info);
    if (dispatch != nullptr)
        IDispatch_Release(dispatch);
    return named;
}

void RunSteps(Live* live, IUnknown** host)
{
    Report& report = *live->report;
    const Deployment& deployment = *live->deployment;
    const std::wstring& serverName = live->serverName;
    const std::vector<DWORD>& before = live->before;

    report.Begin("activation out of process", kEntryServerExecFailure, live->activationBoundMs);
    const ULONGLONG started = GetTickCount64();
    const HRESULT hr =
        CoCreateInstance(CLSID_Kelmo, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, reinterpret_cast<void**>(host));
    const std::string took = std::to_string(GetTickCount64() - started) + " ms";
    if (FAILED(hr)) {
        report.Fail("activation out of process: " + HresultText(hr) + " after " + took, "see the entry for this code",
                    ActivationEntry(hr));
        return;
    }
    report.Pass("activation out of process: " + took);

    report.Begin("the server's process", kEntryServerDoesNotEnd, live->stepBoundMs);
    DWORD serverId = 0;
    DWORD refused = ERROR_SUCCESS;
    HANDLE server = OpenNewProcess(serverName, before, &serverId, &refused);
    const int bits = server != nullptr ? ProcessBits(server) : 0;
    if (server == nullptr && serverId != 0) {
        report.Warn("server process " + std::to_string(serverId) + ": OpenProcess refused, " +
                        HresultText(HRESULT_FROM_WIN32(refused)) +
                        ": it runs as another user or in another session, its bitness and end are not checked",
                    "run the check as the user the server runs as (the AppID's RunAs), or elevated");
    } else if (server == nullptr) {
        report.Fail("server process: no new " + Ascii(serverName) + " process" +
                        (before.empty() ? "" : " (one was running before the check)"),
                    "end the clients that hold a server, or the server, and run the check again",
                    kEntryServerDoesNotEnd);
    } else if (deployment.serverBits != 0 && bits != deployment.serverBits) {
        report.Fail("server process " + std::to_string(serverId) + " runs as " + std::to_string(bits) +
                        "-bit, the registration names a " + std::to_string(deployment.serverBits) + "-bit server",
                    "register the server from the file that should serve", kEntryClassNotRegistered);
    } else {
        report.Pass("server process " + Ascii(serverName) + " (" + std::to_string(serverId) + ") runs as " +
                    std::to_string(bits) + "-bit");
    }

    report.Begin("IDispatch's type information", kEntryKelmoInterface, live->stepBoundMs);
    HRESULT named = S_OK;
    if (NamesIKelmo(*host, &named))
        report.Pass("IDispatch on the host names IKelmo");
    else
        report.Fail("IDispatch on the host does not name IKelmo: " + HresultText(named),
                    "register the server again: Kelmo7.exe /RegServer, elevated", kEntryKelmoInterface);

    report.Begin("the component's interface through the host", kEntryNoInterface, live->stepBoundMs);
    IUnknown* component = nullptr;
    const HRESULT queried = IUnknown_QueryInterface(*host, IID_IHostedComponent, reinterpret_cast<void**>(&component));
    if (SUCCEEDED(queried)) {
        IUnknown_Release(component);
        report.Pass("the component's interface through the host");
    } else {
        report.Fail("the component's interface through the host: " + HresultText(queried),
                    "see the component's checks above", kEntryNoInterface);
    }

    report.Begin("the server's end after the release", kEntryServerDoesNotEnd, live->stepBoundMs);
    IUnknown_Release(*host);
    *host = nullptr;
    if (server == nullptr)
        return;
    const ULONGLONG released = GetTickCount64();
    DWORD exitCode = STILL_ACTIVE;
    const bool ended =
        WaitForSingleObject(server, kServerEndMs) == WAIT_OBJECT_0 && GetExitCodeProcess(server, &exitCode);
    const std::string after = std::to_string(GetTickCount64() - released) + " ms";
    CloseHandle(server);
    if (ended && exitCode == 0)
        report.Pass("the server ended by itself " + after + " after the release, exit code 0");
    else if (ended)
        report.Fail("the server ended " + after + " after the release with exit code " + HresultText(exitCode),
                    "see the entry", kEntryServerDoesNotEnd);
    else
        report.Fail("the server had not ended " + after + " after the release", "see the entry",
                    kEntryServerDoesNotEnd);
}

DWORD WINAPI LiveThread(void* parameter)
{
    Live* live = static_cast<Live*>(parameter);
    const HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) {
        live->report->Fail("live checks: CoInitialize in their thread: " + HresultText(hr),
                           "run the check again; if it fails again, mail this output", kEntryServerExecFailure);
        return 1;
    }
    IUnknown* host = nullptr;
    RunSteps(live, &host);
    if (host != nullptr)
        IUnknown_Release(host);
    CoUninitialize();
    return 0;
}

}  // namespace

void CheckLive(Report& report, const Deployment& deployment, DWORD boundMs)
{
    // Left to the process's end when a step hangs, with the thread using it.
    Live* live = new Live;
    live->report = &report;
    live->deployment = &deployment;
    live->serverName = deployment.serverName.empty() ? L"Kelmo7.exe" : deployment.serverName;
    live->before = ProcessIdsNamed(live->serverName);
    if (boundMs != 0)
        live->activationBoundMs = live->stepBoundMs = boundMs;
    const bool finished = RunBounded(report, LiveThread, live, [live]() {
        std::string ids;
        for (DWORD id : NewProcessIds(live->serverName, live->before))
            ids += (ids.empty() ? "" : ", ") + std::to_string(id);
        return ids.empty() ? std::string() : "server process " + ids + " left running";
    });
    if (finished)
        delete live;
}

}  // namespace check
