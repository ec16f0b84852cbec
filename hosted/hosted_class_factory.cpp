#include "hosted_module.h"

namespace {

// The class object is static: it is never made or destroyed, and a reference
// to it keeps the module loaded instead of keeping it alive.
struct HostedClassFactory {
    const IClassFactoryVtbl* operations;
};

HRESULT STDMETHODCALLTYPE QueryInterface(IClassFactory* self, REFIID iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory))
        return E_NOINTERFACE;
    IClassFactory_AddRef(self);
    *out = self;
    return S_OK;
}

ULONG STDMETHODCALLTYPE AddRef(IClassFactory*)
{
    LockHostedModule();
    return 2;
}

ULONG STDMETHODCALLTYPE Release(IClassFactory*)
{
    UnlockHostedModule();
    return 1;
}

HRESULT STDMETHODCALLTYPE CreateInstance(IClassFactory*, IUnknown* outer, REFIID iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    // An aggregated object can hand its outer only its own non-delegating IUnknown.
    if (outer != nullptr && !IsEqualIID(iid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    return NewHostedComponent(outer, iid, out);
}

HRESULT STDMETHODCALLTYPE LockServer(IClassFactory*, BOOL lock)
{
    if (lock)
        LockHostedModule();
    else
        UnlockHostedModule();
    return S_OK;
}

const IClassFactoryVtbl kFactoryOperations = {
    QueryInterface, AddRef, Release, CreateInstance, LockServer,
};

HostedClassFactory classFactory = {&kFactoryOperations};

}  // namespace

HRESULT QueryHostedClassFactory(REFIID iid, void** out)
{
    return QueryInterface(reinterpret_cast<IClassFactory*>(&classFactory), iid, out);
}
