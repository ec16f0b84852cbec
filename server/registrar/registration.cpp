#include "registrar/registration.h"

#include <comcat.h>

#include "errors.h"
#include "handles.h"
#include "interface_map.h"
#include "registrar/undo_journal.h"
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

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", as registry keys name GUIDs.
constexpr int kGuidNameSize = 39;
void GuidName(const GUID& guid, char* name)
{
    const BYTE bytes[16] = {BYTE(guid.Data1 >> 24), BYTE(guid.Data1 >> 16), BYTE(guid.Data1 >> 8), BYTE(guid.Data1),
                            BYTE(guid.Data2 >> 8),  BYTE(guid.Data2),       BYTE(guid.Data3 >> 8), BYTE(guid.Data3),
                            guid.Data4[0],          guid.Data4[1],          guid.Data4[2],         guid.Data4[3],
                            guid.Data4[4],          guid.Data4[5],          guid.Data4[6],         guid.Data4[7]};
    const char* digits = "0123456789ABCDEF";
    char* out = name;
    *out++ = '{';
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            *out++ = '-';
        *out++ = digits[bytes[i] >> 4];
        *out++ = digits[bytes[i] & 15];
    }
    lstrcpyA(out, "}");
}

// The keys that the category manager may write for the class and its list.
HRESULT RecordCategoryKeys(UndoJournal* journal, const CLSID& classId, const CategoryEntry* list)
{
    if (list == nullptr)
        return S_OK;
    char name[kGuidNameSize];
    GuidName(classId, name);
    const char* const kinds[] = {"Implemented Categories", "Required Categories"};
    for (const char* kind : kinds) {
        const char* const path[] = {"CLSID", name, kind};
        RETURN_IF_FAILED(journal->RecordTreeAt(HKEY_CLASSES_ROOT, 0, path, 3));
    }
    for (const CategoryEntry* entry = list; entry->kind != 0; ++entry) {
        GuidName(*entry->categoryId, name);
        const char* const path[] = {"Component Categories", name};
        RETURN_IF_FAILED(journal->RecordTreeAt(HKEY_CLASSES_ROOT, 0, path, 2));
    }
    return S_OK;
}

// The 64-bit platform records each interface for 32-bit clients too, in the
// 32-bit view of the classes.
#ifdef _WIN64
const REGSAM kInterfaceViews[] = {0, KEY_WOW64_32KEY};
#else
const REGSAM kInterfaceViews[] = {0};
#endif

// The keys that RegisterTypeLib may write for the library: its own, and
// those of its interfaces.
HRESULT RecordTypeLibraryKeys(UndoJournal* journal, ITypeLib* library)
{
    TLIBATTR* attributes = nullptr;
    RETURN_IF_FAILED(ITypeLib_GetLibAttr(library, &attributes));
    char name[kGuidNameSize];
    GuidName(attributes->guid, name);
    ITypeLib_ReleaseTLibAttr(library, attributes);
    const char* const libraryPath[] = {"TypeLib", name};
    RETURN_IF_FAILED(journal->RecordTreeAt(HKEY_CLASSES_ROOT, 0, libraryPath, 2));
    const UINT count = ITypeLib_GetTypeInfoCount(library);
    for (UINT i = 0; i < count; ++i) {
        TYPEKIND kind = TKIND_MAX;
        if (FAILED(ITypeLib_GetTypeInfoType(library, i, &kind)) || (kind != TKIND_INTERFACE && kind != TKIND_DISPATCH))
            continue;
        ComRef<ITypeInfo> info;
        RETURN_IF_FAILED(ITypeLib_GetTypeInfo(library, i, info.Put()));
        TYPEATTR* typeAttributes = nullptr;
        RETURN_IF_FAILED(ITypeInfo_GetTypeAttr(info.Get(), &typeAttributes));
        GuidName(typeAttributes->guid, name);
        ITypeInfo_ReleaseTypeAttr(info.Get(), typeAttributes);
        const char* const interfacePath[] = {"Interface", name};
        for (REGSAM view : kInterfaceViews)
            RETURN_IF_FAILED(journal->RecordTreeAt(HKEY_CLASSES_ROOT, view, interfacePath, 2));
    }
    return S_OK;
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
        if (SUCCEEDED(hr) && row.categoryList != nullptr) {
            const CategoryEntry* list = row.categoryList();
            UndoJournal* journal = ActiveUndoJournal();
            if (journal != nullptr)
                hr = RecordCategoryKeys(journal, *row.classId, list);
            if (SUCCEEDED(hr))
                hr = ApplyClassCategories(*row.classId, list, TRUE);
        }
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
    // Every step records what it changes before changing it; when one fails,
    // the whole run is put back and the registry reads as it was found.
    UndoJournal journal;
    UndoJournalScope scope(&journal);
    if (extra != nullptr)
        extra(TRUE);
    const HRESULT hr = RegisterAll(module, TRUE, nullptr);
    if (FAILED(hr))
        journal.UndoTo(0);
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
    UndoJournal* journal = ActiveUndoJournal();
    if (journal != nullptr)
        RETURN_IF_FAILED(RecordTypeLibraryKeys(journal, library.Get()));
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
