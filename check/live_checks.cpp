// Check 5: an activation out of process as the client makes it, on a thread of
// its own; the main thread gives every step a time bound and gives up on a
// step that does not finish within it.
#include <windows.h>
#include <ole2.h>
#include <tlhelp32.h>

#include <vector>

#include "deployment_checks.h"
#include "guids.h"

namespace check {

namespace {

constexpr DWORD kActivationBoundMs = 45000;
constexpr DWORD kStepBoundMs = 10000;
constexpr DWORD kServerEndMs = 5000;  // the server's idle window is about half a second

struct Live {
    Report* report = nullptr;
    const Deployment* deployment = nullptr;
    HANDLE progress = nullptr;  // set when a step begins
    CRITICAL_SECTION lock = {};
    const char* step = "start";
    DWORD boundMs = kStepBoundMs;
};

void Begin(Live* live, const char* step, DWORD boundMs)
{
    EnterCriticalSection(&live->lock);
    live->step = step;
    live->boundMs = boundMs;
    LeaveCriticalSection(&live->lock);
    SetEvent(live->progress);
}

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

// The process of that name that is not in `before`, waited for a little: its
// start may show in the list only after the activation returned.
HANDLE OpenNewProcess(const std::wstring& name, const std::vector<DWORD>& before, DWORD* id)
{
    const ULONGLONG deadline = GetTickCount64() + 3000;
    do {
        for (DWORD candidate : ProcessIdsNamed(name)) {
            bool known = false;
            for (DWORD old : before)
                known = known || old == candidate;
            if (!known) {
                *id = candidate;
                return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, candidate);
            }
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
    if (hr == REGDB_E_CLASSNOTREG)
        return kEntryClassNotRegistered;
    return hr == CO_E_SERVER_STOPPING ? kEntryServerStopping : kEntryServerExecFailure;
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
    const std::wstring serverName = deployment.serverName.empty() ? L"Kelmo7.exe" : deployment.serverName;
    const std::vector<DWORD> before = ProcessIdsNamed(serverName);

    Begin(live, "activation out of process", kActivationBoundMs);
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

    Begin(live, "the server's process", kStepBoundMs);
    DWORD serverId = 0;
    HANDLE server = OpenNewProcess(serverName, before, &serverId);
    const int bits = server != nullptr ? ProcessBits(server) : 0;
    if (server == nullptr) {
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

    Begin(live, "IDispatch's type information", kStepBoundMs);
    HRESULT named = S_OK;
    if (NamesIKelmo(*host, &named))
        report.Pass("IDispatch on the host names IKelmo");
    else
        report.Fail("IDispatch on the host does not name IKelmo: " + HresultText(named),
                    "register the server again: Kelmo7.exe /RegServer, elevated", kEntryKelmoInterface);

    Begin(live, "the component's interface through the host", kStepBoundMs);
    IUnknown* component = nullptr;
    const HRESULT queried = IUnknown_QueryInterface(*host, IID_IHostedComponent, reinterpret_cast<void**>(&component));
    if (SUCCEEDED(queried)) {
        IUnknown_Release(component);
        report.Pass("the component's interface through the host");
    } else {
        report.Fail("the component's interface through the host: " + HresultText(queried),
                    "see the component's checks above", kEntryNoInterface);
    }

    Begin(live, "the server's end after the release", kStepBoundMs);
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
    if (FAILED(CoInitialize(nullptr)))
        return 1;
    IUnknown* host = nullptr;
    RunSteps(live, &host);
    if (host != nullptr)
        IUnknown_Release(host);
    CoUninitialize();
    return 0;
}

}  // namespace

void CheckLive(Report& report, const Deployment& deployment)
{
    Live* live = new Live;
    live->report = &report;
    live->deployment = &deployment;
    live->progress = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    InitializeCriticalSection(&live->lock);
    HANDLE thread = live->progress ? CreateThread(nullptr, 0, LiveThread, live, 0, nullptr) : nullptr;
    if (thread == nullptr) {
        report.Fail("live checks: no thread for them", "run the check again", kEntryServerExecFailure);
        return;  // the event and the record are the process's until it ends
    }
    for (;;) {
        EnterCriticalSection(&live->lock);
        const DWORD bound = live->boundMs;
        const char* step = live->step;
        LeaveCriticalSection(&live->lock);
        const HANDLE handles[] = {thread, live->progress};
        const DWORD waited = WaitForMultipleObjects(2, handles, FALSE, bound);
        if (waited == WAIT_OBJECT_0 + 1)
            continue;
        if (waited != WAIT_OBJECT_0) {
            report.Fail(std::string(step) + ": no answer within " + std::to_string(bound / 1000) + " s",
                        "see the entry", kEntryServerExecFailure);
            // The thread still waits inside the platform: it and its record
            // are left to the process's end.
            report.Close();
            return;
        }
        break;
    }
    CloseHandle(thread);
    CloseHandle(live->progress);
    DeleteCriticalSection(&live->lock);
    delete live;
}

}  // namespace check
