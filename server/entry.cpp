// The process entry point. No start-up code runs before it: Kelmo7 carries no
// language runtime and has no static construction.
#include "platform.h"
#include "server_main.h"

extern "C" KELMO_ALIGN_STACK void WINAPI KelmoEntry()
{
    if (GetCommandLineA() == nullptr)
        ExitProcess(0xFFFFFFFF);
    ExitProcess(static_cast<UINT>(ServerMain(GetModuleHandleA(nullptr))));
}
