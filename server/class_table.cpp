#include "class_table.h"

#include "class_factory.h"
#include "guids.h"
#include "host_object.h"
#include "registrar/script_engine.h"
#include "server_module.h"

ClassEntry serverClassTable[] = {
    {&CLSID_Kelmo, ApplyKelmoScript, MakeClassFactory, HostInstanceMaker, nullptr, 0, NoDescription, NoCategories,
     IgnoreModuleEvent},
    {},
};

HRESULT ApplyKelmoScript(BOOL registering)
{
    return ApplyScriptResource(&serverModule, kClassScriptResource, registering, nullptr);
}

// The class can never be aggregated, not even for IID_IUnknown.
HRESULT HostInstanceMaker(IUnknown* outer, REFIID iid, void** out)
{
    if (outer != nullptr)
        return CLASS_E_NOAGGREGATION;
    return NewHostObject(iid, out);
}

const char* NoDescription() { return nullptr; }
const CategoryEntry* NoCategories() { return nullptr; }
void IgnoreModuleEvent(BOOL) {}

HRESULT PublishClassObjects(ServerModule* module, DWORD context, DWORD flags)
{
    if (module == nullptr)
        return E_INVALIDARG;
    HRESULT hr = S_OK;
    for (ClassEntry* row = module->classTable; row != nullptr && row->classId != nullptr && hr == S_OK; ++row)
        hr = PublishClassObject(row, context, flags);
    return hr;
}

HRESULT PublishClassObject(ClassEntry* entry, DWORD context, DWORD flags)
{
    if (entry->classObjectMaker == nullptr)
        return S_OK;
    IUnknown* object = nullptr;
    HRESULT hr = entry->classObjectMaker(entry->instanceMaker, IID_IUnknown, reinterpret_cast<void**>(&object));
    if (SUCCEEDED(hr))
        hr = CoRegisterClassObject(*entry->classId, object, context, flags, &entry->registrationCookie);
    // From here on the COM runtime holds the only reference.
    if (object != nullptr)
        object->lpVtbl->Release(object);
    return hr;
}

HRESULT WithdrawClassObjects(ServerModule* module)
{
    if (module == nullptr)
        return E_INVALIDARG;
    HRESULT hr = S_OK;
    for (ClassEntry* row = module->classTable; row != nullptr && row->classId != nullptr && hr == S_OK; ++row)
        hr = CoRevokeClassObject(row->registrationCookie);
    return hr;
}
