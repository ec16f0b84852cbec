// A test build's hold on an activation: the first one to reach the chosen
// point waits there until the first-lock deadline has been decided, and that
// deadline starts only once it is held. Tests force both orders of the two
// this way instead of timing them. Compiled in only with
// KELMO_ACTIVATION_SEAM; the program has empty stand-ins.
#pragma once

#include <windows.h>

enum class ActivationPoint {
    Arrived,   // in CreateInstance, before it asks whether the server is closing
    Unlocked,  // the object made, its lock on the server not yet taken
};

#ifdef KELMO_ACTIVATION_SEAM

// Takes the point from the environment variable KELMO_HOLD_ACTIVATION
// ("arrived" or "unlocked"); without it the seam holds nothing.
void ActivationSeamStart();
void ActivationSeamHold(ActivationPoint point);
// The monitor's side: before its first wait, and after each deadline decision.
void ActivationSeamAwaitHeld();
void ActivationSeamDeadlineDecided();

#else

inline void ActivationSeamStart() {}
inline void ActivationSeamHold(ActivationPoint) {}
inline void ActivationSeamAwaitHeld() {}
inline void ActivationSeamDeadlineDecided() {}

#endif
