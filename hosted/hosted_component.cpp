#include "hosted_module.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "KelmoHosted.h"

namespace {

// One component. Its first table is its own, non-delegating IUnknown, which
// only it and an outer object ever see; the second serves IKelmoHosted and
// IDispatch and sends QueryInterface, AddRef and Release to the controlling
// unknown: the outer object when aggregated, else the first table.
struct HostedComponent {
    const IUnknownVtbl* innerOperations;
    const IKelmoHostedVtbl* operations;
    volatile LONG referenceCount;
    IUnknown* controllingUnknown;  // not counted: an inner object never holds its outer
    ITypeInfo* typeInfo;           // loaded on the first IDispatch call that needs it
};

HostedComponent* FromInner(IUnknown* self) { return reinterpret_cast<HostedComponent*>(self); }

HostedComponent* FromHosted(IKelmoHosted* self)
{
    return reinterpret_cast<HostedComponent*>(reinterpret_cast<BYTE*>(self) - offsetof(HostedComponent, operations));
}

IUnknown* InnerOf(HostedComponent* component) { return reinterpret_cast<IUnknown*>(&component->innerOperations); }
IKelmoHosted* HostedOf(HostedComponent* component) { return reinterpret_cast<IKelmoHosted*>(&component->operations); }

void Destroy(HostedComponent* component)
{
    if (component->typeInfo != nullptr)
        ITypeInfo_Release(component->typeInfo);
    CoTaskMemFree(component);
    UnlockHostedModule();
}

// The non-delegating IUnknown.

HRESULT STDMETHODCALLTYPE InnerQueryInterface(IUnknown* self, REFIID iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    HostedComponent* component = FromInner(self);
    IUnknown* answer;
    if (IsEqualIID(iid, IID_IUnknown))
        answer = self;
    else if (IsEqualIID(iid, IID_IKelmoHosted) || IsEqualIID(iid, IID_IDispatch))
        answer = reinterpret_cast<IUnknown*>(HostedOf(component));
    else
        return E_NOINTERFACE;
    // Through the answer itself, so that a delegating pointer counts on the outer.
    IUnknown_AddRef(answer);
    *out = answer;
    return S_OK;
}

ULONG STDMETHODCALLTYPE InnerAddRef(IUnknown* self)
{
    return static_cast<ULONG>(InterlockedIncrement(&FromInner(self)->referenceCount));
}

ULONG STDMETHODCALLTYPE InnerRelease(IUnknown* self)
{
    HostedComponent* component = FromInner(self);
    const LONG count = InterlockedDecrement(&component->referenceCount);
    if (count == 0)
        Destroy(component);
    return static_cast<ULONG>(count);
}

const IUnknownVtbl kInnerOperations = {InnerQueryInterface, InnerAddRef, InnerRelease};

// IKelmoHosted and IDispatch.

HRESULT STDMETHODCALLTYPE QueryInterface(IKelmoHosted* self, REFIID iid, void** out)
{
    IUnknown* controlling = FromHosted(self)->controllingUnknown;
    return IUnknown_QueryInterface(controlling, iid, out);
}

ULONG STDMETHODCALLTYPE AddRef(IKelmoHosted* self)
{
    IUnknown* controlling = FromHosted(self)->controllingUnknown;
    return IUnknown_AddRef(controlling);
}

ULONG STDMETHODCALLTYPE Release(IKelmoHosted* self)
{
    IUnknown* controlling = FromHosted(self)->controllingUnknown;
    return IUnknown_Release(controlling);
}

// The description of IKelmoHosted from the library this DLL carries, so that
// IDispatch works whether or not that library is registered. The component
// keeps the reference; *info is borrowed.
HRESULT TypeInfoOf(IKelmoHosted* self, ITypeInfo** info)
{
    HostedComponent* component = FromHosted(self);
    if (component->typeInfo == nullptr) {
        ITypeLib* library;
        HRESULT hr = LoadOwnTypeLibrary(&library);
        if (FAILED(hr))
            return hr;
        hr = ITypeLib_GetTypeInfoOfGuid(library, IID_IKelmoHosted, &component->typeInfo);
        ITypeLib_Release(library);
        if (FAILED(hr))
            return hr;
    }
    *info = component->typeInfo;
    return S_OK;
}

// Names and ids are those of the default interface: iid must be IID_NULL.
HRESULT DispatchTypeInfo(IKelmoHosted* self, REFIID iid, ITypeInfo** info)
{
    return IsEqualIID(iid, IID_NULL) ? TypeInfoOf(self, info) : DISP_E_UNKNOWNINTERFACE;
}

HRESULT STDMETHODCALLTYPE GetTypeInfoCount(IKelmoHosted*, UINT* count)
{
    if (count == nullptr)
        return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE GetTypeInfo(IKelmoHosted* self, UINT index, LCID, ITypeInfo** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (index != 0)
        return DISP_E_BADINDEX;
    ITypeInfo* info;
    const HRESULT hr = TypeInfoOf(self, &info);
    if (FAILED(hr))
        return hr;
    ITypeInfo_AddRef(info);
    *out = info;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE GetIDsOfNames(IKelmoHosted* self, REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids)
{
    ITypeInfo* info;
    const HRESULT hr = DispatchTypeInfo(self, iid, &info);
    return FAILED(hr) ? hr : ITypeInfo_GetIDsOfNames(info, names, count, ids);
}

HRESULT STDMETHODCALLTYPE Invoke(IKelmoHosted* self, DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* parameters,
                                 VARIANT* result, EXCEPINFO* exception, UINT* argumentError)
{
    ITypeInfo* info;
    const HRESULT hr = DispatchTypeInfo(self, iid, &info);
    return FAILED(hr) ? hr : ITypeInfo_Invoke(info, self, id, flags, parameters, result, exception, argumentError);
}

HRESULT STDMETHODCALLTYPE get_ProcessId(IKelmoHosted*, LONG* processId)
{
    if (processId == nullptr)
        return E_POINTER;
    *processId = static_cast<LONG>(GetCurrentProcessId());
    return S_OK;
}

// A null BSTR is an empty string: its echo is an empty string, never null.
HRESULT STDMETHODCALLTYPE Echo(IKelmoHosted*, BSTR text, BSTR* echoed)
{
    if (echoed == nullptr)
        return E_POINTER;
    *echoed = SysAllocStringLen(text, SysStringLen(text));
    return *echoed != nullptr ? S_OK : E_OUTOFMEMORY;
}

// A sum outside the 32-bit range is reported, not wrapped.
HRESULT STDMETHODCALLTYPE Add(IKelmoHosted*, LONG left, LONG right, LONG* sum)
{
    if (sum == nullptr)
        return E_POINTER;
    *sum = 0;
    const LONGLONG wide = static_cast<LONGLONG>(left) + right;
    if (wide < INT32_MIN || wide > INT32_MAX)
        return DISP_E_OVERFLOW;
    *sum = static_cast<LONG>(wide);
    return S_OK;
}

// clang-format off
const IKelmoHostedVtbl kHostedOperations = {
    QueryInterface, AddRef, Release,
    GetTypeInfoCount, GetTypeInfo, GetIDsOfNames, Invoke,
    get_ProcessId, Echo, Add,
};
// clang-format on

// A test switch. With KELMO_HOSTED_ASKS_OUTER naming a file, an aggregated
// component asks its outer object for its own interface while it is made, as
// many aggregatable components do, lets go of what it gets, and appends the
// query's HRESULT to that file: one line per component made. One made while
// another is being made does not ask but writes "not asked": an outer object
// that recursed would otherwise do so until the stack ran out, and the test
// would hang instead of failing.
int componentsBeingMade;  // apartment-threaded: one thread makes them

void AskOuterForOwnInterface(IUnknown* outer)
{
    char path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("KELMO_HOSTED_ASKS_OUTER", path, sizeof(path));
    if (length == 0 || length >= sizeof(path))
        return;
    char line[16] = "not asked\n";
    if (++componentsBeingMade == 1) {
        IUnknown* own = nullptr;
        const HRESULT hr = IUnknown_QueryInterface(outer, IID_IKelmoHosted, reinterpret_cast<void**>(&own));
        if (own != nullptr)
            IUnknown_Release(own);
        snprintf(line, sizeof(line), "%08lX\n", static_cast<unsigned long>(hr));
    }
    --componentsBeingMade;
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, line, static_cast<DWORD>(lstrlenA(line)), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

HRESULT NewHostedComponent(IUnknown* outer, REFIID iid, void** out)
{
    auto* component = static_cast<HostedComponent*>(CoTaskMemAlloc(sizeof(HostedComponent)));
    if (component == nullptr)
        return E_OUTOFMEMORY;
    component->innerOperations = &kInnerOperations;
    component->operations = &kHostedOperations;
    component->referenceCount = 1;  // the maker's own, given back below
    component->controllingUnknown = outer != nullptr ? outer : InnerOf(component);
    component->typeInfo = nullptr;
    LockHostedModule();
    if (outer != nullptr)
        AskOuterForOwnInterface(outer);
    IUnknown* inner = InnerOf(component);
    const HRESULT hr = InnerQueryInterface(inner, iid, out);
    InnerRelease(inner);
    return hr;
}
