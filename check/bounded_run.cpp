#include "bounded_run.h"

namespace check {

namespace {

void PumpMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

}  // namespace

bool RunBounded(Report& report, LPTHREAD_START_ROUTINE work, void* argument, const std::function<std::string()>& detail)
{
    HANDLE thread = CreateThread(nullptr, 0, work, argument, 0, nullptr);
    if (thread == nullptr) {
        report.Fail("no thread for the checks: " + HresultText(HRESULT_FROM_WIN32(GetLastError())),
                    "run the check again", kEntryNoAnswer);
        return false;
    }
    std::string step;
    const char* entry = nullptr;
    DWORD boundMs = 0;
    report.CurrentStep(&step, &entry, &boundMs);
    ULONGLONG deadline = GetTickCount64() + boundMs;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        const HANDLE handles[] = {thread, report.progress()};
        const DWORD waited = MsgWaitForMultipleObjects(2, handles, FALSE, left, QS_ALLINPUT);
        if (waited == WAIT_OBJECT_0)
            break;
        if (waited == WAIT_OBJECT_0 + 1) {
            report.CurrentStep(&step, &entry, &boundMs);
            deadline = GetTickCount64() + boundMs;
            continue;
        }
        if (waited == WAIT_OBJECT_0 + 2) {
            PumpMessages();
            continue;
        }
        report.CurrentStep(&step, &entry, &boundMs);
        const std::string more = detail ? detail() : std::string();
        report.Fail(step + ": no answer within " + std::to_string(boundMs / 1000) + " s" +
                        (more.empty() ? "" : "; " + more),
                    "see the entry; the check was ended there", entry);
        report.Close();
        return false;
    }
    CloseHandle(thread);
    return true;
}

}  // namespace check
