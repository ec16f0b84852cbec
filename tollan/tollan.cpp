// tollan: deletes the one file named on its command line. Installers call it
// on files that may already be gone, so the exit code says only whether the
// line named exactly one file, never whether the deletion succeeded.
#include <windows.h>

#include <cstdlib>

#include "command_line_tail.h"
#include "name_table.h"
#include "split_command_line.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // The tail the start-up hands over is not used: the start-up compares
    // signed bytes and so passes over every byte from 0x80 up in front of the
    // first name as if it were a blank, which would turn "Über.txt" into
    // "ber.txt" and delete the wrong file.
    const char* commandLine = GetCommandLineA();
    if (commandLine == nullptr || !SplitCommandLine(CommandLineTail(commandLine)) || NameCount != 1)
        std::exit(-1);  // through the runtime's exit, so its exit handlers run
    // Read-only, hidden and system files are deleted as well.
    SetFileAttributesA(NameTable[0], FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(NameTable[0]);
    return 0;
}
