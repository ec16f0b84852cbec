// Every phase of the check runs on a thread of its own under a time bound
// for each step it begins (Report::Begin), so that a registry read, a file on
// a share that does not answer, or an activation the platform holds cannot
// hang the check.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "check_report.h"

namespace check {

// Each step's bound but the activation's.
constexpr DWORD kStepBoundMs = 10000;

// Runs work(argument) on a new thread while this thread waits and pumps its
// messages (it is a single-threaded apartment). False when a step ran past
// its bound: its failure names the step, its entry and `detail()` (empty:
// nothing), and all further output is closed; the thread is left waiting
// inside the platform until the process ends.
bool RunBounded(Report& report, LPTHREAD_START_ROUTINE work, void* argument,
                const std::function<std::string()>& detail);

}  // namespace check
