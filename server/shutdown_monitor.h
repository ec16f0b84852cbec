// The shutdown monitor: the thread that ends the serving process once it has
// been idle for a whole window, or was never reached. ServerModule starts it.
#pragma once

#include <windows.h>

#include "platform.h"

// Entry point of the shutdown monitor thread; module is the ServerModule.
KELMO_ALIGN_STACK DWORD WINAPI RunShutdownMonitor(void* module);
