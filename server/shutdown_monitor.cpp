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
    // Until the first release to zero, the first-lock deadline; then windows.
    DWORD wait = kFirstLockDeadlineMs;
    ActivationSeamAwaitHeld();
    for (;;) {
        const bool woken = WaitForSingleObject(module->shutdownEvent, wait) == WAIT_OBJECT_0;
        if (woken) {
            do
                module->activity = 0;
            while (WaitForSingleObject(module->shutdownEvent, kIdleWindowMs) == WAIT_OBJECT_0);
        }
        // Decided in one step with the class factory: once closed, the server
        // makes nothing more, so nothing can be made under a server that leaves.
        const bool closed = module->CloseIfIdle();
        ActivationSeamDecided();
        if (closed)
            break;
        // Someone got in first. A held lock's release to zero wakes the
        // monitor; an activation still under way may end without taking one,
        // so the monitor looks again after a window (after another deadline
        // while nobody has reached the server yet).
        if (module->lockCount != 0)
            wait = INFINITE;
        else if (woken)
            wait = kIdleWindowMs;
    }
    // The event stays open: a late ReleaseLock may still signal it; Teardown closes it.
    PostThreadMessageA(module->mainThreadId, WM_QUIT, 0, 0);
    return 0;
}
