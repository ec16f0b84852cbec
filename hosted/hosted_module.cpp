#include "hosted_module.h"

// The identifiers of the generated header are defined here, once.
#include <initguid.h>

#include "KelmoHosted.h"

HMODULE hostedModule;

namespace {
volatile LONG moduleLocks;
}

void LockHostedModule() { InterlockedIncrement(&moduleLocks); }
void UnlockHostedModule() { InterlockedDecrement(&moduleLocks); }

HRESULT HostedModulePath(WCHAR* path, DWORD capacity)
{
    const DWORD length = GetModuleFileNameW(hostedModule, path, capacity);
    if (length == 0)
        return HRESULT_FROM_WIN32(GetLastError());
    if (length >= capacity)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    return S_OK;
}

HRESULT LoadOwnTypeLibrary(ITypeLib** library)
{
    WCHAR path[kPathCapacity];
    const HRESULT hr = HostedModulePath(path, kPathCapacity);
    if (FAILED(hr))
        return hr;
    return LoadTypeLibEx(path, REGKIND_NONE, library);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        hostedModule = instance;
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID classId, REFIID iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (!IsEqualCLSID(classId, CLSID_KelmoHosted))
        return CLASS_E_CLASSNOTAVAILABLE;
    return QueryHostedClassFactory(iid, out);
}

STDAPI DllCanUnloadNow() { return moduleLocks == 0 ? S_OK : S_FALSE; }
