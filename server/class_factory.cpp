#include "class_factory.h"

#include "activation_seam.h"
#include "interface_map.h"
#include "module_allocator.h"
#include "server_module.h"

namespace {

struct ClassFactory {
    const IClassFactoryVtbl* operations;
    volatile LONG referenceCount;
    InstanceMaker instanceMaker;
};

ClassFactory* FactoryOf(IClassFactory* self) { return reinterpret_cast<ClassFactory*>(self); }

const InterfaceEntry kFactoryInterfaces[] = {
    {&IID_IClassFactory, 0, DIRECT_ROW},
    {nullptr, 0, nullptr},
};

void Destroy(ClassFactory* factory)
{
    factory->referenceCount = 1;
    ModuleFree(factory);
}

HRESULT STDMETHODCALLTYPE QueryInterface(IClassFactory* self, REFIID iid, void** out)
{
    return QueryInterfaceMap(self, kFactoryInterfaces, iid, out);
}

ULONG STDMETHODCALLTYPE AddRef(IClassFactory* self)
{
    return static_cast<ULONG>(InterlockedIncrement(&FactoryOf(self)->referenceCount));
}

ULONG STDMETHODCALLTYPE Release(IClassFactory* self)
{
    ClassFactory* factory = FactoryOf(self);
    const LONG count = InterlockedDecrement(&factory->referenceCount);
    if (count == 0)
        Destroy(factory);
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE CreateInstance(IClassFactory* self, IUnknown* outer, REFIID iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (outer != nullptr && !SameGuid(iid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    ActivationSeamHold(ActivationPoint::Arrived);
    // A server that the shutdown monitor is ending makes nothing: the client
    // is told so, instead of getting an object whose server is leaving.
    if (!serverModule.BeginActivation())
        return CO_E_SERVER_STOPPING;
    const HRESULT hr = FactoryOf(self)->instanceMaker(outer, iid, out);
    serverModule.EndActivation();
    return hr;
}

// A published class object does not keep the server alive; only these locks do.
HRESULT STDMETHODCALLTYPE LockServer(IClassFactory*, BOOL lock)
{
    if (!lock) {
        // Only a lock that LockServer took is given back: an unmatched call
        // would otherwise take the lock of a live object, or leave the count
        // below zero where no release reaches it.
        serverModule.ReleaseServerLock();
        return S_OK;
    }
    if (!serverModule.BeginActivation())
        return CO_E_SERVER_STOPPING;
    serverModule.AddServerLock();
    serverModule.EndActivation();
    return S_OK;
}

const IClassFactoryVtbl kFactoryOperations = {
    QueryInterface, AddRef, Release, CreateInstance, LockServer,
};

}  // namespace

HRESULT MakeClassFactory(InstanceMaker maker, REFIID iid, void** out)
{
    ClassFactory* factory = ModuleAllocRecord<ClassFactory>();
    if (factory == nullptr)
        return E_OUTOFMEMORY;
    factory->operations = &kFactoryOperations;
    factory->referenceCount = 0;
    factory->instanceMaker = maker;
    IClassFactory* self = reinterpret_cast<IClassFactory*>(factory);
    const HRESULT hr = QueryInterface(self, iid, out);
    if (hr != S_OK) {
        Destroy(factory);
        return hr;
    }
    return S_OK;
}
