// Registration of the server's classes and type library, and the per-user
// redirection of HKEY_CLASSES_ROOT.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "class_table.h"

struct ServerModule;

HRESULT ApplyClassCategories(const CLSID& classId, const CategoryEntry* list, BOOL registering);

// The type library of the module's file: by its own name, then with ".tlb" in
// place of its extension. On success the caller owns the path and the library.
HRESULT LocateTypeLibrary(ServerModule* module, const OLECHAR* index, BSTR* path, ITypeLib** library);
HRESULT RegisterTypeLibrary(ServerModule* module, const OLECHAR* index);
HRESULT UnregisterTypeLibrary(ServerModule* module, const OLECHAR* index);

// Characters up to and including the path's last "\", "/" or ":"; 0 without one.
int HelpDirectoryLength(const OLECHAR* path);

// Replaces the part of name from its last "." by ".tlb", or appends ".tlb";
// false when the result would not fit in capacity bytes (name unchanged).
bool TypeLibraryFallbackName(char* name, int capacity);

// Where UnRegisterTypeLib is looked up at run time; tests point it elsewhere.
struct RuntimeLookup {
    const char* library;
    const char* function;
};
extern RuntimeLookup unregisterTypeLibLookup;

// Redirects HKEY_CLASSES_ROOT to HKEY_CURRENT_USER\Software\Classes for the
// life of the holder, so that registration writes nothing machine-wide.
class PerUserClassesRoot {
public:
    PerUserClassesRoot() = default;
    ~PerUserClassesRoot();
    PerUserClassesRoot(const PerUserClassesRoot&) = delete;
    PerUserClassesRoot& operator=(const PerUserClassesRoot&) = delete;

    HRESULT Begin();

private:
    HKEY classes_ = nullptr;
};
