#include "registrar/registration.h"

#include <comcat.h>

#include "errors.h"
#include "handles.h"
#include "interface_map.h"
#include "server_module.h"

namespace {

constexpr int kPathCapacity = MAX_PATH;

bool Selected(const ClassEntry& row, const CLSID* classId)
{
    if (classId != nullptr)
        return SameGuid(*row.classId, *classId);
    return row.description == nullptr || row.description() == nullptr;
}

template <typename Visit>
void ForEachSelected(ServerModule* module, const CLSID* classId, Visit visit)
{
    for (ClassEntry* row = module->classTable; row != nullptr && row->classId != nullptr; ++row) {
        if (Selected(*row, classId) && !visit(*row))
            return;
    }
}

// A function looked up at run time, called through its own type.
template <typename Function>
Function LookUp(HMODULE library, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

HRESULT LoadTypeLibraryByName(const char* name, BSTR* path, ITypeLib** library)
{
    OLECHAR wide[kPathCapacity];
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, wide, kPathCapacity) == 0)
        return E_FAIL;
    const HRESULT hr = LoadTypeLib(wide, library);
    if (FAILED(hr))
        return hr;
    *path = SysAllocString(wide);
    if (*path == nullptr) {
        ITypeLib_Release(*library);
        *library = nullptr;
        return E_OUTOFMEMORY;
    }
    return hr;
}

// "CLSID\{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}\" of the class, as registry
// keys name classes, into name (46 characters with the terminator).
void ClassKeyName(const CLSID& classId, char* name)
{
    const BYTE bytes[16] = {BYTE(classId.Data1 >> 24), BYTE(classId.Data1 >> 16), BYTE(classId.Data1 >> 8),
                            BYTE(classId.Data1),       BYTE(classId.Data2 >> 8),  BYTE(classId.Data2),
                            BYTE(classId.Data3 >> 8),  BYTE(classId.Data3),       classId.Data4[0],
                            classId.Data4[1],          classId.Data4[2],          classId.Data4[3],
                            classId.Data4[4],          classId.Data4[5],          classId.Data4[6],
                            classId.Data4[7]};
    const char* digits = "0123456789ABCDEF";
    lstrcpyA(name, "CLSID\\{");
    char* out = name + 7;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            *out++ = '-';
        *out++ = digits[bytes[i] >> 4];
        *out++ = digits[bytes[i] & 15];
    }
    lstrcpyA(out, "}\\");
}

// The class has a server registered: its key in HKEY_CLASSES_ROOT (the
// user's classes under the per-user redirection) holds LocalServer32 or
// InprocServer32.
bool ServerRegistered(const CLSID& classId)
{
    const char* const servers[] = {"LocalServer32", "InprocServer32"};
    for (const char* server : servers) {
        char path[64];
        ClassKeyName(classId, path);
        lstrcatA(path, server);
        UniqueKey key;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path, 0, KEY_READ, key.Put()) == ERROR_SUCCESS)
            return true;
    }
    return false;
}

}  // namespace

RuntimeLookup unregisterTypeLibLookup = {"oleaut32.dll", "UnRegisterTypeLib"};

HRESULT ServerModule::RegisterAll(ServerModule* module, BOOL withTypeLibrary, const CLSID* classId)
{
    if (module == nullptr)
        return E_INVALIDARG;
    HRESULT hr = S_OK;
    ForEachSelected(module, classId, [&hr](ClassEntry& row) {
        hr = row.applyClassScript != nullptr ? row.applyClassScript(TRUE) : S_OK;
        if (SUCCEEDED(hr) && row.categoryList != nullptr)
            hr = ApplyClassCategories(*row.classId, row.categoryList(), TRUE);
        return SUCCEEDED(hr);
    });
    // A failed class stops registration before the type library.
    if (FAILED(hr) || !withTypeLibrary)
        return hr;
    return RegisterTypeLibrary(module, nullptr);
}

HRESULT ServerModule::UnregisterAll(ServerModule* module, BOOL withTypeLibrary, const CLSID* classId)
{
    if (module == nullptr)
        return E_INVALIDARG;
    ForEachSelected(module, classId, [](ClassEntry& row) {
        if (row.applyClassScript != nullptr)
            row.applyClassScript(FALSE);
        if (row.categoryList != nullptr)
            ApplyClassCategories(*row.classId, row.categoryList(), FALSE);
        return true;
    });
    if (withTypeLibrary)
        UnregisterTypeLibrary(module, nullptr);
    return S_OK;
}

HRESULT ServerModule::RegisterServer(ServerModule* module, HRESULT (*extra)(BOOL registering))
{
    if (module == nullptr)
        return E_INVALIDARG;
    bool registeredBefore = false;
    ForEachSelected(module, nullptr, [&registeredBefore](ClassEntry& row) {
        registeredBefore = ServerRegistered(*row.classId);
        return !registeredBefore;
    });
    if (extra != nullptr)
        extra(TRUE);
    const HRESULT hr = RegisterAll(module, TRUE, nullptr);
    if (FAILED(hr) && !registeredBefore)
        UnregisterServer(module, extra);
    return hr;
}

HRESULT ServerModule::UnregisterServer(ServerModule* module, HRESULT (*extra)(BOOL registering))
{
    if (module == nullptr)
        return E_INVALIDARG;
    if (extra != nullptr)
        extra(FALSE);
    return UnregisterAll(module, TRUE, nullptr);
}

HRESULT ApplyClassCategories(const CLSID& classId, const CategoryEntry* list, BOOL registering)
{
    if (list == nullptr)
        return S_OK;
    ComRef<ICatRegister> manager;
    // Without the platform's category manager, categories are silently not recorded.
    if (FAILED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister,
                                reinterpret_cast<void**>(manager.Put()))))
        return S_OK;
    for (const CategoryEntry* entry = list; entry->kind != 0; ++entry) {
        CATID category = *entry->categoryId;
        ICatRegister* m = manager.Get();
        if (registering) {
            const HRESULT hr = entry->kind == 1 ? ICatRegister_RegisterClassImplCategories(m, classId, 1, &category)
                                                : ICatRegister_RegisterClassReqCategories(m, classId, 1, &category);
            if (FAILED(hr))
                return hr;
        } else if (entry->kind == 1) {
            ICatRegister_UnRegisterClassImplCategories(m, classId, 1, &category);
        } else {
            ICatRegister_UnRegisterClassReqCategories(m, classId, 1, &category);
        }
    }
    return S_OK;
}

bool TypeLibraryFallbackName(char* name, int capacity)
{
    char* dot = nullptr;
    char* end = name;
    for (; *end != '\0'; end = CharNextA(end)) {
        if (*end == '.')
            dot = end;
    }
    char* extension = dot != nullptr ? dot : end;
    if ((extension - name) + 5 > capacity)
        return false;
    lstrcpyA(extension, ".tlb");
    return true;
}

HRESULT LocateTypeLibrary(ServerModule* module, const OLECHAR* index, BSTR* path, ITypeLib** library)
{
    *path = nullptr;
    *library = nullptr;
    char name[kPathCapacity];
    const DWORD length = GetModuleFileNameA(module->typeLibInstance, name, kPathCapacity);
    if (length == 0 || length >= static_cast<DWORD>(kPathCapacity))
        return length == 0 ? LastErrorResult() : FoldWin32Error(ERROR_INSUFFICIENT_BUFFER);
    if (index != nullptr) {
        // The index text is appended unchanged; one that does not fit is refused.
        const int room = kPathCapacity - static_cast<int>(length);
        if (WideCharToMultiByte(CP_ACP, 0, index, -1, name + length, room, nullptr, nullptr) == 0)
            return FoldWin32Error(ERROR_INSUFFICIENT_BUFFER);
    }
    const HRESULT first = LoadTypeLibraryByName(name, path, library);
    if (SUCCEEDED(first))
        return first;
    if (!TypeLibraryFallbackName(name, kPathCapacity))
        return first;
    return LoadTypeLibraryByName(name, path, library);
}

int HelpDirectoryLength(const OLECHAR* path)
{
    int length = 0;
    for (int i = 0; path[i] != 0; ++i) {
        if (path[i] == L'\\' || path[i] == L'/' || path[i] == L':')
            length = i + 1;
    }
    return length;
}

HRESULT RegisterTypeLibrary(ServerModule* module, const OLECHAR* index)
{
    UniqueBstr path;
    ComRef<ITypeLib> library;
    RETURN_IF_FAILED(LocateTypeLibrary(module, index, path.Put(), library.Put()));
    // The help directory is the library's folder with its trailing separator;
    // a folder too long for the buffer gives no help directory at all.
    OLECHAR helpDirectory[kPathCapacity];
    int directoryLength = HelpDirectoryLength(path.Get());
    if (directoryLength >= kPathCapacity)
        directoryLength = 0;
    for (int i = 0; i < directoryLength; ++i)
        helpDirectory[i] = path.Get()[i];
    helpDirectory[directoryLength] = 0;
    return RegisterTypeLib(library.Get(), path.Get(), helpDirectory);
}

HRESULT UnregisterTypeLibrary(ServerModule* module, const OLECHAR* index)
{
    UniqueBstr path;
    ComRef<ITypeLib> library;
    const HRESULT located = LocateTypeLibrary(module, index, path.Put(), library.Put());
    if (FAILED(located))
        return located;
    TLIBATTR* attributes = nullptr;
    if (FAILED(ITypeLib_GetLibAttr(library.Get(), &attributes)))
        return located;
    // Looked up at run time, so that the program also starts where the
    // platform lacks it; then nothing is unregistered and nothing reported.
    using UnRegisterTypeLibFunction = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
    UniqueLibrary automation(LoadLibraryA(unregisterTypeLibLookup.library));
    if (automation) {
        auto unregister = LookUp<UnRegisterTypeLibFunction>(automation.Get(), unregisterTypeLibLookup.function);
        if (unregister != nullptr)
            unregister(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                       attributes->syskind);
    }
    ITypeLib_ReleaseTLibAttr(library.Get(), attributes);
    return located;
}

PerUserClassesRoot::~PerUserClassesRoot()
{
    if (classes_ != nullptr) {
        RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
        RegCloseKey(classes_);
    }
}

HRESULT PerUserClassesRoot::Begin()
{
    LONG status = RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &classes_, nullptr);
    if (status == ERROR_SUCCESS)
        status = RegOverridePredefKey(HKEY_CLASSES_ROOT, classes_);
    if (status != ERROR_SUCCESS) {
        if (classes_ != nullptr)
            RegCloseKey(classes_);
        classes_ = nullptr;
        return FoldWin32Error(static_cast<DWORD>(status));
    }
    // Where the platform offers it, type libraries then go to the user's
    // classes too; without it a registration that is not elevated fails.
    UniqueLibrary automation(LoadLibraryA("oleaut32.dll"));
    if (automation) {
        auto enable = LookUp<void(WINAPI*)()>(automation.Get(), "OaEnablePerUserTLibRegistration");
        if (enable != nullptr)
            enable();
    }
    return S_OK;
}
