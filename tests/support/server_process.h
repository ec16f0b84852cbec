// What the tests that start the server out of process agree on.
#pragma once

#include <windows.h>

namespace testing_support {

// An interface that neither the host nor the hosted component answers.
constexpr IID kUnansweredInterface = {0x0BADF00D, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

// A server that has not ended by itself this long after it should have is stuck.
constexpr DWORD kStuckAfterMs = 20000;

// An activation takes about a second here, a few in the emulated machines; one
// still under way after this is stuck.
constexpr DWORD kActivationBoundMs = 120000;

}  // namespace testing_support
