// The shutdown monitor: ends the serving process once the lock count has
// dropped to zero and a whole idle window has passed without a further drop.
#include "shutdown_monitor.h"

#include "activation_seam.h"
#include "server_module.h"

#ifndef KELMO_FIRST_LOCK_DEADLINE_MS
// A server that nobody reaches does not stay forever: well past the platform's
// own activation timeout. Only a test build shortens it.
#define KELMO_FIRST_LOCK_DEADLINE_MS (3 * 60 * 1000)
#endif

namespace {

constexpr DWORD kIdleWindowMs = 500;
constexpr DWORD kFirstLockDeadlineMs = KELMO_FIRST_LOCK_DEADLINE_MS;

}  // namespace

bool ServerModule::StartShutdownMonitor()
{
    shutdownEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (shutdownEvent == nullptr)
        return false;
    HANDLE thread = CreateThread(nullptr, 0, RunShutdownMonitor, this, 0, nullptr);
    if (thread == nullptr)
        return false;
    CloseHandle(thread);
    return true;
}

KELMO_ALIGN_STACK DWORD WINAPI RunShutdownMonitor(void* parameter)
{
    ServerModule* module = static_cast<ServerModule*>(parameter);
    DWORD waitForZero = kFirstLockDeadlineMs;
    ActivationSeamAwaitHeld();
    for (;;) {
        if (WaitForSingleObject(module->shutdownEvent, waitForZero) == WAIT_TIMEOUT) {
            // Only the first wait has a deadline, and it ends only a server that
            // nobody reached, decided in one step with the class factory. Once a
            // lock was taken, a release to zero signals and its idle window
            // decides; while an activation is under way, the deadline comes again.
            const LONG state = module->lockCount == 0 ? module->CloseIfUnreached() : kServerReached;
            ActivationSeamDeadlineDecided();
            if (state == 0)
                break;
            if (state == kServerReached)
                waitForZero = INFINITE;
            continue;
        }
        waitForZero = INFINITE;
        do
            module->activity = 0;
        while (WaitForSingleObject(module->shutdownEvent, kIdleWindowMs) == WAIT_OBJECT_0);
        if (module->activity == 0 && module->lockCount == 0)
            break;
    }
    // The event stays open: a late ReleaseLock may still signal it; Teardown closes it.
    PostThreadMessageA(module->mainThreadId, WM_QUIT, 0, 0);
    return 0;
}
