// The object that the server's class makes for a client.
#pragma once

#include <windows.h>

// Makes a HostObject and queries it for iid. The caller has refused any outer.
HRESULT NewHostObject(REFIID iid, void** out);
