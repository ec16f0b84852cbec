// A test build's hold on an activation: the one that the test names, on its
// way through the chosen point, waits there until the shutdown monitor has
// decided whether to end the server, and the monitor starts only once it is
// held. Tests force both orders of the two this way instead of timing them.
// Compiled in only with KELMO_ACTIVATION_SEAM; the program has empty stand-ins.
#pragma once

#include <windows.h>

enum class ActivationPoint {
    Arrived,   // in CreateInstance, before it asks whether the server is closing
    Unlocked,  // the object made, its lock on the server not yet taken
};

#ifdef KELMO_ACTIVATION_SEAM

// Takes the point from the environment variable KELMO_HOLD_ACTIVATION
// ("arrived" or "unlocked", the first activation to reach it; "arrived:2",
// the second); without it the seam holds nothing.
void ActivationSeamStart();
void ActivationSeamHold(ActivationPoint point);
// The monitor's side: before its first wait, and after each decision.
void ActivationSeamAwaitHeld();
void ActivationSeamDecided();

#else

inline void ActivationSeamStart() {}
inline void ActivationSeamHold(ActivationPoint) {}
inline void ActivationSeamAwaitHeld() {}
inline void ActivationSeamDecided() {}

#endif
