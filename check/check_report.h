// The check's output: one line a check, "[ ok ]" or "[FAIL]", and under every
// failure what to do with the troubleshooting page's entry for it. Lines come
// from the main thread and from the live checks' thread, so they go through
// one lock; once the main thread gives up on a live step that hangs, nothing
// more is printed.
#pragma once

#include <windows.h>

#include <string>

namespace check {

// The headings of docs/troubleshooting.md that the check names, word for word.
extern const char* const kEntryClassNotRegistered;
extern const char* const kEntryServerExecFailure;
extern const char* const kEntryNoInterface;
extern const char* const kEntryComponent;
extern const char* const kEntryServerStopping;
extern const char* const kEntryKelmoInterface;
extern const char* const kEntryServerDoesNotEnd;
extern const char* const kEntryAccessDenied;
extern const char* const kEntryRunAsLogon;
extern const char* const kEntryRpcAtActivation;
extern const char* const kEntryNoAnswer;

class Report {
public:
    Report();
    ~Report();
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    void Pass(const std::string& what);
    void Fail(const std::string& what, const std::string& todo, const char* entry);
    // A check that holds with a risk: counted as passed, marked, with what to do.
    void Warn(const std::string& what, const std::string& todo);
    // A fact the reader needs, not a check: not counted.
    void Note(const std::string& what);
    // Stops all further output, the summary's included: for the main thread
    // before it prints the summary itself.
    void Close();
    void Summary();
    // The step that runs now, its entry and its bound; the thread that waits
    // on the steps learns of each through progress().
    void Begin(const std::string& step, const char* entry, DWORD boundMs);
    void CurrentStep(std::string* step, const char** entry, DWORD* boundMs);
    HANDLE progress() const { return progress_; }
    int failed() const { return failed_; }

private:
    void Line(const std::string& text);
    CRITICAL_SECTION lock_;
    bool closed_ = false;
    HANDLE progress_ = nullptr;  // auto-reset, set at each Begin
    std::string step_ = "start";
    const char* stepEntry_ = nullptr;
    DWORD stepBoundMs_ = 10000;
    int passed_ = 0;
    int failed_ = 0;
    int warned_ = 0;
};

// "0x80040154 REGDB_E_CLASSNOTREG", or the bare hex for a code not in the table.
std::string HresultText(HRESULT hr);
// Plain ASCII for the console and a mailed log: any other character becomes '?'.
std::string Ascii(const std::wstring& text);
std::string GuidText(const GUID& guid);

}  // namespace check
