#include "command_line_tail.h"

const char* CommandLineTail(const char* commandLine)
{
    // Unsigned: bytes from 0x80 up are part of a name, never white space.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(commandLine);
    if (*p == '"') {
        for (++p; *p != '\0' && *p != '"'; ++p) {}
        if (*p == '"')
            ++p;
    } else {
        while (*p > ' ')
            ++p;
    }
    while (*p != '\0' && *p <= ' ')
        ++p;
    return reinterpret_cast<const char*>(p);
}
