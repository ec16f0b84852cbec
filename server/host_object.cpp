#include "host_object.h"

#include <stddef.h>

#include "activation_seam.h"
#include "dispatch.h"
#include "guids.h"
#include "interface_map.h"
#include "module_allocator.h"
#include "server_module.h"

namespace {

// Where a HostObject keeps its inner object, and what creates it.
struct InnerObjectSlot {
    ULONG_PTR field;  // byte offset of the inner object's IUnknown in the record
    HRESULT (*creator)(void* object, REFIID iid, void** out);
};

HRESULT QueryInnerObject(void* object, REFIID iid, void** out, ULONG_PTR data);
HRESULT CreateHostedComponent(void* object, REFIID iid, void** out);

const InnerObjectSlot kInnerObjectSlot = {offsetof(HostObject, innerUnknown), CreateHostedComponent};

const InterfaceEntry kHostInterfaces[] = {
    {&IID_IKelmo, 0, DIRECT_ROW},
    {&IID_IHostedComponent, reinterpret_cast<ULONG_PTR>(&kInnerObjectSlot), QueryInnerObject},
    {&IID_IDispatch, 0, DIRECT_ROW},
    {nullptr, 0, nullptr},
};

HostObject* HostOf(IDispatch* self) { return reinterpret_cast<HostObject*>(self); }
IDispatch* DispatchOf(HostObject* host) { return reinterpret_cast<IDispatch*>(host); }

void Destroy(HostObject* host)
{
    host->referenceCount = 1;
    if (host->innerUnknown != nullptr)
        IUnknown_Release(host->innerUnknown);
    serverModule.ReleaseLock();
    ModuleFree(host);
}

HRESULT STDMETHODCALLTYPE QueryInterface(IDispatch* self, REFIID iid, void** out)
{
    return QueryInterfaceMap(HostOf(self), kHostInterfaces, iid, out);
}

ULONG STDMETHODCALLTYPE AddRef(IDispatch* self) { return static_cast<ULONG>(++HostOf(self)->referenceCount); }

ULONG STDMETHODCALLTYPE Release(IDispatch* self)
{
    HostObject* host = HostOf(self);
    const LONG count = --host->referenceCount;
    if (count == 0)
        Destroy(host);
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE GetTypeInfoCount(IDispatch*, UINT* count) { return DispatchGetTypeInfoCount(count); }

HRESULT STDMETHODCALLTYPE GetTypeInfo(IDispatch*, UINT, LCID lcid, ITypeInfo** out)
{
    return DispatchGetTypeInfo(kelmoTypeInfo, lcid, out);
}

HRESULT STDMETHODCALLTYPE GetIDsOfNames(IDispatch*, REFIID, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids)
{
    return DispatchGetIDsOfNames(kelmoTypeInfo, names, count, lcid, ids);
}

HRESULT STDMETHODCALLTYPE Invoke(IDispatch* self, DISPID member, REFIID, LCID lcid, WORD flags, DISPPARAMS* parameters,
                                 VARIANT* result, EXCEPINFO* exception, UINT* argumentError)
{
    return DispatchInvoke(kelmoTypeInfo, self, member, lcid, flags, parameters, result, exception, argumentError);
}

// The HostObject is never aggregated: it is its own controlling unknown.
IUnknown* STDMETHODCALLTYPE ControllingUnknown(HostObject* self)
{
    return reinterpret_cast<IUnknown*>(reinterpret_cast<BYTE*>(self) + kHostInterfaces[0].data);
}

const HostObjectOperations kHostOperations = {
    {QueryInterface, AddRef, Release, GetTypeInfoCount, GetTypeInfo, GetIDsOfNames, Invoke},
    ControllingUnknown,
};

// What the inner object's field holds while its creator runs.
IUnknown* InnerBeingMade() { return reinterpret_cast<IUnknown*>(static_cast<ULONG_PTR>(1)); }

// Creates the inner object on first need; a failed creation leaves the field
// null so that the next query tries again, and its HRESULT reaches the caller.
// A query that reaches the field while the creator runs (a component that asks
// its outer object for its own interface while it is made) is refused: it
// would otherwise start a second component, whose own query a third.
HRESULT QueryInnerObject(void* object, REFIID iid, void** out, ULONG_PTR data)
{
    const InnerObjectSlot* slot = reinterpret_cast<const InnerObjectSlot*>(data);
    IUnknown** inner = reinterpret_cast<IUnknown**>(static_cast<BYTE*>(object) + slot->field);
    if (*inner == InnerBeingMade())
        return E_NOINTERFACE;
    if (*inner == nullptr) {
        IUnknown* made = nullptr;
        *inner = InnerBeingMade();
        const HRESULT hr = slot->creator(object, IID_IUnknown, reinterpret_cast<void**>(&made));
        *inner = made;
        if (made == nullptr)
            return hr;
    }
    return IUnknown_QueryInterface(*inner, iid, out);
}

// The hosted component, in process, with the host as its outer object; it
// returns its own non-delegating IUnknown whatever iid the query was for.
HRESULT CreateHostedComponent(void* object, REFIID, void** out)
{
    HostObject* host = static_cast<HostObject*>(object);
    return CoCreateInstance(CLSID_HostedComponent, host->operations->ControllingUnknown(host),
                            CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER, IID_IUnknown, out);
}

}  // namespace

HRESULT NewHostObject(REFIID iid, void** out)
{
    HostObject* host = ModuleAllocRecord<HostObject>();
    if (host == nullptr)
        return E_OUTOFMEMORY;
    host->operations = &kHostOperations;
    // A guard reference of the object's own while it is made and first
    // queried: a hosted component created by that query may AddRef and
    // Release its outer object, which must not take the count to zero.
    host->referenceCount = 1;
    host->innerUnknown = nullptr;
    ActivationSeamHold(ActivationPoint::Unlocked);
    serverModule.AddLock();
    const HRESULT hr = QueryInterface(DispatchOf(host), iid, out);
    if (hr != S_OK) {
        Destroy(host);
        return hr;
    }
    --host->referenceCount;  // the caller holds the reference that the query added
    return S_OK;
}
