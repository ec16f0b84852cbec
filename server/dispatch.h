// IDispatch through type information: the holder that loads the registered
// type information of an interface on first need and caches its member names.
#pragma once

#include <windows.h>
#include <oleauto.h>

struct NameCacheEntry {
    BSTR name;  // null when the name could not be read; never matched then
    LONG length;
    DISPID memberId;
};

struct TypeInfoHolder {
    const IID* interfaceId;
    const GUID* libraryId;
    WORD majorVersion;
    WORD minorVersion;
    ITypeInfo* typeInfo;  // the ITypeInfo2 interface where the type information has one
    NameCacheEntry* nameCache;
    LONG nameCacheCount;
    bool releaseRegistered;  // the clean-up is registered at most once per holder

    HRESULT ProvideTypeInfo(LCID lcid, ITypeInfo** out);
    HRESULT LookupIds(LPOLESTR* names, UINT count, LCID lcid, DISPID* ids);
    HRESULT LoadTypeInfo(LCID lcid);
    void FillNameCache(ITypeInfo* info);
    static void ReleaseTypeInfo(ULONG_PTR holder);
};

// The holder for IKelmo, from the type library Kelmo7_83 1.0.
extern TypeInfoHolder kelmoTypeInfo;

// The four IDispatch operations of an object whose table serves IDispatch,
// answered through holder's type information.
HRESULT DispatchGetTypeInfoCount(UINT* count);
HRESULT DispatchGetTypeInfo(TypeInfoHolder& holder, LCID lcid, ITypeInfo** out);
HRESULT DispatchGetIDsOfNames(TypeInfoHolder& holder, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids);
HRESULT DispatchInvoke(TypeInfoHolder& holder, IDispatch* self, DISPID member, LCID lcid, WORD flags,
                       DISPPARAMS* parameters, VARIANT* result, EXCEPINFO* exception, UINT* argumentError);
