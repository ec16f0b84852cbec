// The static tables through which the server's COM objects answer QueryInterface.
#pragma once

#include <windows.h>
#include <ole2.h>

// A handler row's function: (object, iid, out, row data).
using InterfaceHandler = HRESULT (*)(void* object, REFIID iid, void** out, ULONG_PTR data);

struct InterfaceEntry {
    const IID* interfaceId;    // null matches every request
    ULONG_PTR data;            // direct row: byte offset of the answering interface in the object
    InterfaceHandler handler;  // null ends the map; DIRECT_ROW; or a handler
};

// The marker that makes a row a direct row.
#define DIRECT_ROW (reinterpret_cast<InterfaceHandler>(static_cast<ULONG_PTR>(1)))

// The map's first row must be a direct row: it gives the object's identity.
HRESULT QueryInterfaceMap(void* object, const InterfaceEntry* map, REFIID iid, void** out);

// GUIDs are compared byte for byte.
bool SameGuid(const GUID& a, const GUID& b);
