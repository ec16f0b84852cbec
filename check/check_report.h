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

class Report {
public:
    Report();
    ~Report();
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    void Pass(const std::string& what);
    void Fail(const std::string& what, const std::string& todo, const char* entry);
    // Stops all further output, the summary's included: for the main thread
    // before it prints the summary itself.
    void Close();
    void Summary();
    int failed() const { return failed_; }

private:
    void Line(const std::string& text);
    CRITICAL_SECTION lock_;
    bool closed_ = false;
    int passed_ = 0;
    int failed_ = 0;
};

// "0x80040154 REGDB_E_CLASSNOTREG", or the bare hex for a code not in the table.
std::string HresultText(HRESULT hr);
// Plain ASCII for the console and a mailed log: any other character becomes '?'.
std::string Ascii(const std::wstring& text);
std::string GuidText(const GUID& guid);

}  // namespace check
