// The object that the server's class makes for a client: it answers for
// IUnknown, IKelmo and IDispatch itself, and for the hosted component's
// interface through that component, aggregated inside it.
#pragma once

#include <windows.h>
#include <ole2.h>

struct HostObject;

// The HostObject's table of operations in slot order: IDispatch's seven
// (serving IKelmo and IDispatch alike), then the object's own operation.
struct HostObjectOperations {
    IDispatchVtbl dispatch;
    IUnknown*(STDMETHODCALLTYPE* ControllingUnknown)(HostObject* self);
};

struct HostObject {
    const HostObjectOperations* operations;
    LONG referenceCount;     // plain increments: every call arrives on the main thread
    IUnknown* innerUnknown;  // the hosted component's own IUnknown, once created
};

// Makes a HostObject and queries it for iid. The caller has refused any outer.
HRESULT NewHostObject(REFIID iid, void** out);
