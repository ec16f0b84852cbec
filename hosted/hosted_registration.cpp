// DllRegisterServer and DllUnregisterServer: the class key with its
// InprocServer32 entry, and the type library that lets the platform marshal
// IKelmoHosted between processes.
#include "hosted_module.h"

#include "KelmoHosted.h"

namespace {

// "CLSID\{B4D3CD47-...}" below HKEY_CLASSES_ROOT.
struct ClassKeyPath {
    WCHAR text[48];
};

ClassKeyPath ClassKey()
{
    ClassKeyPath path;
    lstrcpyW(path.text, L"CLSID\\");
    const int prefixLength = lstrlenW(path.text);
    StringFromGUID2(CLSID_KelmoHosted, path.text + prefixLength, ARRAYSIZE(path.text) - prefixLength);
    return path;
}

HRESULT SetString(HKEY key, const WCHAR* name, const WCHAR* value)
{
    const DWORD bytes = static_cast<DWORD>((lstrlenW(value) + 1) * sizeof(WCHAR));
    return HRESULT_FROM_WIN32(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes));
}

HRESULT WriteClassKey(const WCHAR* modulePath)
{
    HKEY classKey;
    LONG status =
        RegCreateKeyExW(HKEY_CLASSES_ROOT, ClassKey().text, 0, nullptr, 0, KEY_WRITE, nullptr, &classKey, nullptr);
    if (status != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(status);
    HKEY serverKey;
    HRESULT hr = SetString(classKey, nullptr, L"Kelmo hosted component sample");
    if (SUCCEEDED(hr)) {
        status = RegCreateKeyExW(classKey, L"InprocServer32", 0, nullptr, 0, KEY_WRITE, nullptr, &serverKey, nullptr);
        hr = HRESULT_FROM_WIN32(status);
    }
    RegCloseKey(classKey);
    if (FAILED(hr))
        return hr;
    hr = SetString(serverKey, nullptr, modulePath);
    if (SUCCEEDED(hr))
        hr = SetString(serverKey, L"ThreadingModel", L"Apartment");
    RegCloseKey(serverKey);
    return hr;
}

// A key that is already gone counts as removed.
HRESULT DeleteKey(HKEY root, const WCHAR* path)
{
    const LONG status = RegDeleteKeyW(root, path);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT RemoveClassKey()
{
    HKEY classKey;
    const LONG status = RegOpenKeyExW(HKEY_CLASSES_ROOT, ClassKey().text, 0, KEY_WRITE, &classKey);
    if (status == ERROR_FILE_NOT_FOUND)
        return S_OK;
    if (status != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(status);
    const HRESULT hr = DeleteKey(classKey, L"InprocServer32");
    RegCloseKey(classKey);
    if (FAILED(hr))
        return hr;
    return DeleteKey(HKEY_CLASSES_ROOT, ClassKey().text);
}

// Unregisters the library by the identity it carries itself: its LIBID,
// version, locale and target system.
HRESULT UnregisterOwnTypeLibrary()
{
    ITypeLib* library;
    HRESULT hr = LoadOwnTypeLibrary(&library);
    if (FAILED(hr))
        return hr;
    TLIBATTR* attributes;
    hr = ITypeLib_GetLibAttr(library, &attributes);
    if (SUCCEEDED(hr)) {
        const TLIBATTR identity = *attributes;
        ITypeLib_ReleaseTLibAttr(library, attributes);
        // Nothing registered is nothing left to remove.
        BSTR registeredPath = nullptr;
        if (SUCCEEDED(QueryPathOfRegTypeLib(identity.guid, identity.wMajorVerNum, identity.wMinorVerNum, identity.lcid,
                                            &registeredPath))) {
            SysFreeString(registeredPath);
            hr = UnRegisterTypeLib(identity.guid, identity.wMajorVerNum, identity.wMinorVerNum, identity.lcid,
                                   identity.syskind);
        }
    }
    ITypeLib_Release(library);
    return hr;
}

}  // namespace

// On failure nothing of the registration is left behind.
STDAPI DllRegisterServer()
{
    WCHAR path[kPathCapacity];
    HRESULT hr = HostedModulePath(path, kPathCapacity);
    if (FAILED(hr))
        return hr;
    hr = WriteClassKey(path);
    if (SUCCEEDED(hr)) {
        ITypeLib* library;
        hr = LoadTypeLibEx(path, REGKIND_NONE, &library);
        if (SUCCEEDED(hr)) {
            hr = RegisterTypeLib(library, path, nullptr);
            ITypeLib_Release(library);
        }
    }
    if (FAILED(hr))
        RemoveClassKey();
    return hr;
}

// Removes the class key and the library registration, each as far as it
// exists; the first failure is reported, after both have been tried.
STDAPI DllUnregisterServer()
{
    const HRESULT classResult = RemoveClassKey();
    const HRESULT libraryResult = UnregisterOwnTypeLibrary();
    return FAILED(classResult) ? classResult : libraryResult;
}
