// The activation seam of test builds; nothing of it is in the program.
#include "activation_seam.h"

#ifdef KELMO_ACTIVATION_SEAM

namespace {

struct ActivationSeam {
    bool active;
    ActivationPoint point;
    int heldArrival;  // which arrival at the point is held, from 1
    int arrivals;     // at the point so far; only the main thread counts them
    HANDLE held;      // manual reset: set once an activation waits at the point
    HANDLE decided;   // manual reset: set once the monitor has decided
};

// The events live as long as the process: a held activation may still wait.
ActivationSeam seam;

}  // namespace

void ActivationSeamStart()
{
    char text[16];
    const DWORD length = GetEnvironmentVariableA("KELMO_HOLD_ACTIVATION", text, sizeof(text));
    if (length == 0 || length >= sizeof(text))
        return;
    seam.heldArrival = 1;
    if (length > 2 && text[length - 2] == ':' && text[length - 1] >= '1' && text[length - 1] <= '9') {
        seam.heldArrival = text[length - 1] - '0';
        text[length - 2] = '\0';
    }
    if (lstrcmpiA(text, "arrived") == 0)
        seam.point = ActivationPoint::Arrived;
    else if (lstrcmpiA(text, "unlocked") == 0)
        seam.point = ActivationPoint::Unlocked;
    else
        return;
    seam.held = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    seam.decided = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    seam.active = seam.held != nullptr && seam.decided != nullptr;
}

// Waits without a limit on both sides: a seam that never meets leaves the
// server running, which the tests see, rather than passing by timing.
void ActivationSeamHold(ActivationPoint point)
{
    if (!seam.active || point != seam.point || ++seam.arrivals != seam.heldArrival)
        return;
    SetEvent(seam.held);
    WaitForSingleObject(seam.decided, INFINITE);
}

void ActivationSeamAwaitHeld()
{
    if (seam.active)
        WaitForSingleObject(seam.held, INFINITE);
}

void ActivationSeamDecided()
{
    if (seam.active)
        SetEvent(seam.decided);
}

#endif
