// The server's main routine and its command-line switches.
#pragma once

#include <windows.h>

enum class ServerAction { Serve, Register, Unregister, RegisterPerUser, UnregisterPerUser };

// The position just after the first character of text that equals a character
// of set, or null when there is none. Both texts are walked with CharNextA, so
// a trail byte is never taken for a separator.
const char* FindAfterAnyOf(const char* text, const char* set);

// Scans the whole command line, program path included: after each "-" or "/",
// the whole rest of the line names the switch or nothing. The per-user
// switches register for the current user only.
ServerAction ScanSwitches(const char* commandLine);

HRESULT ServerMain(HINSTANCE instance);
