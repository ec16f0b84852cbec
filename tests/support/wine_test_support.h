// Helpers shared by the tests that run under Wine: paths, child processes,
// scratch registry keys and the server's class registration.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <string>
#include <vector>

namespace testing_support {

// The system this build's programs run as, and the key below a type library's
// version and locale under which the platform records it for that system.
constexpr SYSKIND kBuildSysKind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
constexpr const char* kBuildPlatformKey = sizeof(void*) == 8 ? "win64" : "win32";

// A path of the build tree as the Windows side sees it (drive Z: is the root).
std::string WindowsPath(const std::string& unixPath);

// Starts commandLine exactly as given (no shell) and waits for it. A run that
// did not start or did not end has no exit code: exitCode stays STILL_ACTIVE,
// never 0, so that checking it for success checks that the run ended too.
struct ProcessResult {
    bool started = false;
    bool finished = false;
    DWORD exitCode = STILL_ACTIVE;
    DWORD startError = 0;  // GetLastError() of a failed start
};
ProcessResult RunProcess(const std::string& commandLine, DWORD timeoutMs = 60000,
                         const char* currentDirectory = nullptr);

// Ids of the running processes whose image file name equals name (any case).
std::vector<DWORD> ProcessIdsNamed(const std::string& name);

// The one process named name that is not in before, waiting up to timeoutMs.
DWORD WaitForNewProcess(const std::string& name, const std::vector<DWORD>& before, DWORD timeoutMs);

// A handle on a process with the rights OwnedProcess needs; null on failure.
HANDLE OpenProcessForOwner(DWORD processId);

// A process that was started by a test and must not outlive it: ends it by
// its id when the holder goes, unless it has exited already.
class OwnedProcess {
public:
    explicit OwnedProcess(DWORD processId);
    // Takes over a handle opened with OpenProcessForOwner.
    OwnedProcess(DWORD processId, HANDLE handle) : id_(processId), handle_(handle) {}
    ~OwnedProcess();
    OwnedProcess(const OwnedProcess&) = delete;
    OwnedProcess& operator=(const OwnedProcess&) = delete;

    bool valid() const { return handle_ != nullptr; }
    DWORD id() const { return id_; }
    // Waits for the process to end; true and its exit code when it did.
    bool WaitForExit(DWORD timeoutMs, DWORD* exitCode);

private:
    DWORD id_;
    HANDLE handle_;
};

// A step of a test that waits on another process through the platform (an
// activation, a call, a release) and could wait for ever there: when it has not
// ended within boundMs, the test process ends with exit code 3 after naming
// the step on stderr, so that the run fails at once and says where.
class StepBound {
public:
    StepBound(const char* step, DWORD boundMs);
    ~StepBound();
    StepBound(const StepBound&) = delete;
    StepBound& operator=(const StepBound&) = delete;

private:
    static DWORD WINAPI Watch(void* self);
    const char* step_;
    DWORD boundMs_;
    HANDLE done_;
    HANDLE watcher_ = nullptr;
};

// Milliseconds from an arbitrary origin, with sub-millisecond resolution.
double NowMs();

// Text of a GUID in registry form, with braces.
std::string GuidText(const GUID& guid);

// Where the scratch keys live, below HKEY_CURRENT_USER\Software.
constexpr char kScratchParent[] = "KelmoTests";

// A key below HKEY_CURRENT_USER\Software\KelmoTests that exists for one test
// and is removed with everything below it afterwards.
class ScratchKey {
public:
    explicit ScratchKey(const std::string& name);
    ~ScratchKey();
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    HKEY key() const { return key_; }
    const std::string& path() const { return path_; }  // below HKEY_CURRENT_USER

private:
    std::string path_;
    HKEY key_ = nullptr;
};

// Registry reading through the platform's own functions.
bool KeyExists(HKEY root, const std::string& path);
bool ReadString(HKEY root, const std::string& path, const char* valueName, std::string* value);
bool ValueExists(HKEY root, const std::string& path, const char* valueName);
void DeleteTree(HKEY root, const std::string& path);
bool WriteString(HKEY root, const std::string& path, const char* valueName, const std::string& value);

// Registers serverPath as the LocalServer32 of classId, nothing else; removes
// the class key again when the holder goes.
class LocalServerRegistration {
public:
    LocalServerRegistration(const GUID& classId, const std::string& serverPath);
    ~LocalServerRegistration();

private:
    std::string classKey_;
};

}  // namespace testing_support
