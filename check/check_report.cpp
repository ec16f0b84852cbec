#include "check_report.h"

#include <cstdio>

namespace check {

const char* const kEntryClassNotRegistered = "REGDB_E_CLASSNOTREG (0x80040154) at activation";
const char* const kEntryServerExecFailure = "CO_E_SERVER_EXEC_FAILURE (0x80080005) at activation";
const char* const kEntryNoInterface = "E_NOINTERFACE (0x80004002) for the component's interface";
const char* const kEntryComponent = "The component not registered or not aggregatable";
const char* const kEntryServerStopping = "CO_E_SERVER_STOPPING (0x80080008) at activation";
const char* const kEntryKelmoInterface = "IKelmo not marshaled for the client";
const char* const kEntryServerDoesNotEnd = "The server does not end after the last release";
const char* const kEntryAccessDenied = "E_ACCESSDENIED (0x80070005) at activation";
const char* const kEntryRunAsLogon = "CO_E_RUNAS_LOGON_FAILURE (0x8000401A) at activation";
const char* const kEntryRpcAtActivation =
    "RPC_S_SERVER_UNAVAILABLE (0x800706BA) or RPC_S_CALL_FAILED (0x800706BE) at activation";
const char* const kEntryNoAnswer = "kelmo7-check: a step with no answer";

Report::Report()
{
    InitializeCriticalSection(&lock_);
    stepEntry_ = kEntryNoAnswer;
    progress_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

// Only after every thread that reports has ended.
Report::~Report()
{
    if (progress_ != nullptr)
        CloseHandle(progress_);
    DeleteCriticalSection(&lock_);
}

void Report::Begin(const std::string& step, const char* entry, DWORD boundMs)
{
    EnterCriticalSection(&lock_);
    step_ = step;
    stepEntry_ = entry;
    stepBoundMs_ = boundMs;
    LeaveCriticalSection(&lock_);
    if (progress_ != nullptr)
        SetEvent(progress_);
}

void Report::CurrentStep(std::string* step, const char** entry, DWORD* boundMs)
{
    EnterCriticalSection(&lock_);
    *step = step_;
    *entry = stepEntry_;
    *boundMs = stepBoundMs_;
    LeaveCriticalSection(&lock_);
}

void Report::Line(const std::string& text)
{
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Report::Pass(const std::string& what)
{
    EnterCriticalSection(&lock_);
    if (!closed_) {
        ++passed_;
        Line("[ ok ] " + what);
    }
    LeaveCriticalSection(&lock_);
}

void Report::Fail(const std::string& what, const std::string& todo, const char* entry)
{
    EnterCriticalSection(&lock_);
    if (!closed_) {
        ++failed_;
        Line("[FAIL] " + what);
        Line("       -> " + todo + " (docs/troubleshooting.md: " + entry + ")");
    }
    LeaveCriticalSection(&lock_);
}

void Report::Warn(const std::string& what, const std::string& todo)
{
    EnterCriticalSection(&lock_);
    if (!closed_) {
        ++passed_;
        ++warned_;
        Line("[warn] " + what);
        Line("       -> " + todo);
    }
    LeaveCriticalSection(&lock_);
}

void Report::Note(const std::string& what)
{
    EnterCriticalSection(&lock_);
    if (!closed_)
        Line("[note] " + what);
    LeaveCriticalSection(&lock_);
}

void Report::Close()
{
    EnterCriticalSection(&lock_);
    closed_ = true;
    LeaveCriticalSection(&lock_);
}

void Report::Summary()
{
    EnterCriticalSection(&lock_);
    closed_ = true;
    if (warned_ != 0)
        std::printf("kelmo7-check: %d passed, %d failed, %d of the passed with a warning\n", passed_, failed_, warned_);
    else
        std::printf("kelmo7-check: %d passed, %d failed\n", passed_, failed_);
    std::fflush(stdout);
    LeaveCriticalSection(&lock_);
}

std::string HresultText(HRESULT hr)
{
    struct Name {
        HRESULT code;
        const char* name;
    };
    static const Name kNames[] = {
        {E_NOINTERFACE, "E_NOINTERFACE"},
        {E_FAIL, "E_FAIL"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
        {E_INVALIDARG, "E_INVALIDARG"},
        {E_ACCESSDENIED, "E_ACCESSDENIED"},
        {E_UNEXPECTED, "E_UNEXPECTED"},
        {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG"},
        {CO_E_CLASSSTRING, "CO_E_CLASSSTRING"},
        {CO_E_SERVER_EXEC_FAILURE, "CO_E_SERVER_EXEC_FAILURE"},
        {CO_E_SERVER_STOPPING, "CO_E_SERVER_STOPPING"},
        {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION"},
        {RPC_E_DISCONNECTED, "RPC_E_DISCONNECTED"},
        {CO_E_RUNAS_LOGON_FAILURE, "CO_E_RUNAS_LOGON_FAILURE"},
        {CO_E_CLASS_CREATE_FAILED, "CO_E_CLASS_CREATE_FAILED"},
        {RPC_E_SERVERFAULT, "RPC_E_SERVERFAULT"},
        {CO_E_NOTINITIALIZED, "CO_E_NOTINITIALIZED"},
        {RPC_E_CHANGED_MODE, "RPC_E_CHANGED_MODE"},
        {HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), "RPC_S_SERVER_UNAVAILABLE"},
        {HRESULT_FROM_WIN32(RPC_S_CALL_FAILED), "RPC_S_CALL_FAILED"},
        {HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "ERROR_FILE_NOT_FOUND"},
        {HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), "ERROR_PATH_NOT_FOUND"},
        {HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT), "ERROR_BAD_EXE_FORMAT"},
        {HRESULT_FROM_WIN32(ERROR_TIMEOUT), "ERROR_TIMEOUT"},
        {TYPE_E_CANTLOADLIBRARY, "TYPE_E_CANTLOADLIBRARY"},
        {TYPE_E_LIBNOTREGISTERED, "TYPE_E_LIBNOTREGISTERED"},
        {TYPE_E_ELEMENTNOTFOUND, "TYPE_E_ELEMENTNOTFOUND"},
        {TYPE_E_INVALIDSTATE, "TYPE_E_INVALIDSTATE"},
    };
    char text[80];
    const char* name = nullptr;
    for (const Name& entry : kNames)
        name = entry.code == hr ? entry.name : name;
    std::snprintf(text, sizeof text, "0x%08lX%s%s", static_cast<unsigned long>(hr), name ? " " : "", name ? name : "");
    return text;
}

std::string Ascii(const std::wstring& text)
{
    std::string ascii;
    for (wchar_t c : text)
        ascii += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    return ascii;
}

std::string GuidText(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

}  // namespace check
