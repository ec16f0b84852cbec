// LocalServer32 is a command line, which CreateProcess splits at the first
// blank (a space or a tab) outside double quotes: a program path that holds
// one is written in double quotes. The server applies this rule when it
// writes the value and kelmo7-check when it reads it back. Header-only plain
// loops, so that the server takes in no runtime with it.
#pragma once

namespace command_line {

inline bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Whether `path`, a terminated string, goes in double quotes on a command line.
inline bool NeedsQuotes(const wchar_t* path)
{
    for (; *path != L'\0'; ++path) {
        if (IsBlank(*path))
            return true;
    }
    return false;
}

}  // namespace command_line
