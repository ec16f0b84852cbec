#include "dispatch.h"

#include "guids.h"
#include "handles.h"
#include "module_allocator.h"
#include "server_module.h"

TypeInfoHolder kelmoTypeInfo = {
    &IID_IKelmo, &LIBID_Kelmo7_83, kTypeLibMajorVersion, kTypeLibMinorVersion, nullptr, nullptr, 0, false,
};

HRESULT TypeInfoHolder::ProvideTypeInfo(LCID lcid, ITypeInfo** out)
{
    HRESULT hr = S_OK;
    if (typeInfo == nullptr)
        hr = LoadTypeInfo(lcid);
    *out = typeInfo;
    if (typeInfo == nullptr)
        return hr;
    ITypeInfo_AddRef(typeInfo);
    return S_OK;
}

HRESULT TypeInfoHolder::LoadTypeInfo(LCID lcid)
{
    if (typeInfo != nullptr)
        return S_OK;

    EnterCriticalSection(&serverModule.moduleLock);
    HRESULT hr = S_OK;  // loaded meanwhile by another caller
    if (typeInfo == nullptr) {
        ComRef<ITypeLib> library;
        ComRef<ITypeInfo> info;
        hr = LoadRegTypeLib(*libraryId, majorVersion, minorVersion, lcid, library.Put());
        if (SUCCEEDED(hr))
            hr = ITypeLib_GetTypeInfoOfGuid(library.Get(), *interfaceId, info.Put());
        if (SUCCEEDED(hr)) {
            ITypeInfo* candidate = info.Get();
            ITypeInfo2* info2 = nullptr;
            if (SUCCEEDED(ITypeInfo_QueryInterface(info.Get(), IID_ITypeInfo2, reinterpret_cast<void**>(&info2))))
                candidate = reinterpret_cast<ITypeInfo*>(info2);
            ITypeInfo_AddRef(candidate);
            FillNameCache(candidate);
            // Set only once the cache is complete: a caller that sees the
            // type information also sees its cache.
            typeInfo = candidate;
            if (info2 != nullptr)
                ITypeInfo2_Release(info2);
        }
        // The library and the type information it returned go last, in that order.
        library.Reset();
    }
    LeaveCriticalSection(&serverModule.moduleLock);

    // Once per holder, also when the load failed, so that whatever a later
    // load leaves behind is released at teardown.
    if (!releaseRegistered &&
        SUCCEEDED(serverModule.AddTermCallback(ReleaseTypeInfo, reinterpret_cast<ULONG_PTR>(this))))
        releaseRegistered = true;
    return hr;
}

void TypeInfoHolder::FillNameCache(ITypeInfo* info)
{
    TYPEATTR* attributes = nullptr;
    if (FAILED(ITypeInfo_GetTypeAttr(info, &attributes)))
        return;
    const WORD count = attributes->cFuncs;
    nameCacheCount = count;
    nameCache = nullptr;
    if (count != 0) {
        nameCache = static_cast<NameCacheEntry*>(ModuleAlloc(count * sizeof(NameCacheEntry)));
        if (nameCache == nullptr)
            nameCacheCount = 0;
    }
    for (LONG i = 0; i < nameCacheCount; ++i) {
        NameCacheEntry& entry = nameCache[i];
        entry.name = nullptr;
        entry.length = 0;
        entry.memberId = DISPID_UNKNOWN;
        FUNCDESC* function = nullptr;
        if (FAILED(ITypeInfo_GetFuncDesc(info, static_cast<UINT>(i), &function)))
            continue;
        BSTR name = nullptr;
        if (SUCCEEDED(ITypeInfo_GetDocumentation(info, function->memid, &name, nullptr, nullptr, nullptr))) {
            entry.name = name;
            entry.length = static_cast<LONG>(SysStringLen(name));
            entry.memberId = function->memid;
            name = nullptr;
        }
        ITypeInfo_ReleaseFuncDesc(info, function);
        SysFreeString(name);
    }
    ITypeInfo_ReleaseTypeAttr(info, attributes);
}

static bool SameName(const NameCacheEntry& entry, const OLECHAR* name, LONG length)
{
    if (entry.name == nullptr || entry.length != length)
        return false;
    for (LONG i = 0; i < length; ++i) {
        if (entry.name[i] != name[i])
            return false;
    }
    return true;
}

HRESULT TypeInfoHolder::LookupIds(LPOLESTR* names, UINT count, LCID lcid, DISPID* ids)
{
    HRESULT hr = S_OK;
    if (typeInfo == nullptr) {
        hr = LoadTypeInfo(lcid);
        if (typeInfo == nullptr)
            return hr;
    }
    for (UINT n = 0; n < count; ++n) {
        const LONG length = lstrlenW(names[n]);
        LONG found = nameCacheCount - 1;
        while (found >= 0 && !SameName(nameCache[found], names[n], length))
            --found;
        if (found >= 0) {
            ids[n] = nameCache[found].memberId;
            continue;
        }
        // A miss hands the whole set to the type information, which fills
        // every element; later cached names overwrite theirs again.
        hr = ITypeInfo_GetIDsOfNames(typeInfo, names, count, ids);
        if (FAILED(hr))
            return hr;
    }
    return hr;
}

void TypeInfoHolder::ReleaseTypeInfo(ULONG_PTR argument)
{
    TypeInfoHolder* holder = reinterpret_cast<TypeInfoHolder*>(argument);
    if (holder->typeInfo != nullptr) {
        ITypeInfo_Release(holder->typeInfo);
        holder->typeInfo = nullptr;
    }
    if (holder->nameCache != nullptr) {
        for (LONG i = holder->nameCacheCount - 1; i >= 0; --i)
            SysFreeString(holder->nameCache[i].name);
        ModuleFree(holder->nameCache);
        holder->nameCache = nullptr;
        holder->nameCacheCount = 0;
    }
    holder->releaseRegistered = false;  // the list that held the registration is gone
}

HRESULT DispatchGetTypeInfoCount(UINT* count)
{
    if (count == nullptr)
        return E_POINTER;
    *count = 1;
    return S_OK;
}

// Every index yields the same type information.
HRESULT DispatchGetTypeInfo(TypeInfoHolder& holder, LCID lcid, ITypeInfo** out)
{
    if (out == nullptr)
        return E_POINTER;
    return holder.ProvideTypeInfo(lcid, out);
}

HRESULT DispatchGetIDsOfNames(TypeInfoHolder& holder, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids)
{
    if (count != 0 && (names == nullptr || ids == nullptr))
        return E_POINTER;
    return holder.LookupIds(names, count, lcid, ids);
}

HRESULT DispatchInvoke(TypeInfoHolder& holder, IDispatch* self, DISPID member, LCID lcid, WORD flags,
                       DISPPARAMS* parameters, VARIANT* result, EXCEPINFO* exception, UINT* argumentError)
{
    if (holder.typeInfo == nullptr) {
        const HRESULT hr = holder.LoadTypeInfo(lcid);
        if (holder.typeInfo == nullptr)
            return hr;
    }
    return ITypeInfo_Invoke(holder.typeInfo, self, member, flags, parameters, result, exception, argumentError);
}
