#include "wine_test_support.h"

#include <tlhelp32.h>

#include <cstdio>

namespace testing_support {

std::string WindowsPath(const std::string& unixPath)
{
    std::string path = "Z:" + unixPath;
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

ProcessResult RunProcess(const std::string& commandLine, DWORD timeoutMs, const char* currentDirectory)
{
    ProcessResult result;
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    // Now and then Wine cannot lay out a new process's address space ("failed
    // to map the shared user data") and the start fails with
    // ERROR_INTERNAL_ERROR before any of the program's code has run; such a
    // start is tried again.
    for (int attempt = 0;; ++attempt) {
        if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, currentDirectory, &startup,
                           &info))
            break;
        const DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == 2) {
            result.startError = error;
            return result;
        }
    }
    result.started = true;
    CloseHandle(info.hThread);
    if (WaitForSingleObject(info.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        result.finished = true;
        GetExitCodeProcess(info.hProcess, &result.exitCode);
    } else {
        TerminateProcess(info.hProcess, 1);
        WaitForSingleObject(info.hProcess, 5000);
    }
    CloseHandle(info.hProcess);
    return result;
}

std::vector<DWORD> ProcessIdsNamed(const std::string& name)
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return ids;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (lstrcmpiA(entry.szExeFile, name.c_str()) == 0)
            ids.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return ids;
}

DWORD WaitForNewProcess(const std::string& name, const std::vector<DWORD>& before, DWORD timeoutMs)
{
    const double deadline = NowMs() + timeoutMs;
    do {
        for (DWORD id : ProcessIdsNamed(name)) {
            bool known = false;
            for (DWORD old : before)
                known = known || old == id;
            if (!known)
                return id;
        }
        Sleep(10);
    } while (NowMs() < deadline);
    return 0;
}

HANDLE OpenProcessForOwner(DWORD processId)
{
    if (processId == 0)
        return nullptr;
    return OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, processId);
}

OwnedProcess::OwnedProcess(DWORD processId) : id_(processId), handle_(OpenProcessForOwner(processId)) {}

OwnedProcess::~OwnedProcess()
{
    if (handle_ == nullptr)
        return;
    if (WaitForSingleObject(handle_, 0) != WAIT_OBJECT_0) {
        TerminateProcess(handle_, 1);
        WaitForSingleObject(handle_, 5000);
    }
    CloseHandle(handle_);
}

bool OwnedProcess::WaitForExit(DWORD timeoutMs, DWORD* exitCode)
{
    if (handle_ == nullptr || WaitForSingleObject(handle_, timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (exitCode != nullptr)
        GetExitCodeProcess(handle_, exitCode);
    return true;
}

StepBound::StepBound(const char* step, DWORD boundMs)
        : step_(step), boundMs_(boundMs), done_(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
    if (done_ != nullptr)
        watcher_ = CreateThread(nullptr, 0, Watch, this, 0, nullptr);
}

StepBound::~StepBound()
{
    if (done_ == nullptr)
        return;
    SetEvent(done_);
    if (watcher_ != nullptr) {
        WaitForSingleObject(watcher_, 5000);
        CloseHandle(watcher_);
    }
    CloseHandle(done_);
}

DWORD WINAPI StepBound::Watch(void* self)
{
    const StepBound* bound = static_cast<const StepBound*>(self);
    if (WaitForSingleObject(bound->done_, bound->boundMs_) != WAIT_TIMEOUT)
        return 0;
    std::fprintf(stderr, "%s did not end within %lu s\n", bound->step_,
                 static_cast<unsigned long>(bound->boundMs_ / 1000));
    std::fflush(stderr);
    // Not ExitProcess: the stuck thread may hold a lock that the process's
    // orderly end would wait for.
    TerminateProcess(GetCurrentProcess(), 3);
    return 0;
}

double NowMs()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::string GuidText(const GUID& g)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

ScratchKey::ScratchKey(const std::string& name)
        : path_(std::string("Software\\") + kScratchParent + "\\" + name + "-" + std::to_string(GetCurrentProcessId()))
{
    DeleteTree(HKEY_CURRENT_USER, path_);
    RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
}

ScratchKey::~ScratchKey()
{
    if (key_ != nullptr)
        RegCloseKey(key_);
    DeleteTree(HKEY_CURRENT_USER, path_);
}

bool KeyExists(HKEY root, const std::string& path)
{
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool ReadString(HKEY root, const std::string& path, const char* valueName, std::string* value)
{
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    char data[4096];
    DWORD size = sizeof(data) - 1;
    DWORD type = 0;
    const LONG status = RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return false;
    data[size] = '\0';
    value->assign(data);
    return true;
}

bool ValueExists(HKEY root, const std::string& path, const char* valueName)
{
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    const LONG status = RegQueryValueExA(key, valueName, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

void DeleteTree(HKEY root, const std::string& path)
{
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS)
        return;
    char name[256];
    std::vector<std::string> children;
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof(name);
        if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        children.emplace_back(name, length);
    }
    RegCloseKey(key);
    // A child whose name reads back empty would name this key again.
    for (const std::string& child : children) {
        if (!child.empty())
            DeleteTree(root, path + "\\" + child);
    }
    RegDeleteKeyA(root, path.c_str());
}

bool WriteString(HKEY root, const std::string& path, const char* valueName, const std::string& value)
{
    HKEY key;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const LONG status = RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                       static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

LocalServerRegistration::LocalServerRegistration(const GUID& classId, const std::string& serverPath)
        : classKey_("CLSID\\" + GuidText(classId))
{
    DeleteTree(HKEY_CLASSES_ROOT, classKey_);
    WriteString(HKEY_CLASSES_ROOT, classKey_ + "\\LocalServer32", nullptr, serverPath);
}

LocalServerRegistration::~LocalServerRegistration() { DeleteTree(HKEY_CLASSES_ROOT, classKey_); }

}  // namespace testing_support
