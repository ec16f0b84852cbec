// What the parts of the sample component share: its module, the count that
// keeps it loaded, and the makers of its two kinds of object.
#pragma once

#include <windows.h>
#include <ole2.h>

// The DLL's own module handle, recorded when it is loaded.
extern HMODULE hostedModule;

// Every live object, every reference to the class object and every LockServer
// lock holds one count; DllCanUnloadNow answers S_OK only at zero.
void LockHostedModule();
void UnlockHostedModule();

// The DLL's full path. Fails rather than hand out a truncated path.
HRESULT HostedModulePath(WCHAR* path, DWORD capacity);
inline constexpr DWORD kPathCapacity = 1024;

// Loads the type library carried as resource "TYPELIB" 1 of this DLL.
HRESULT LoadOwnTypeLibrary(ITypeLib** library);

// Makes a component, aggregated when outer is non-null (the caller has checked
// that iid is then IID_IUnknown), and queries it for iid.
HRESULT NewHostedComponent(IUnknown* outer, REFIID iid, void** out);

// Queries the module's one class object for iid.
HRESULT QueryHostedClassFactory(REFIID iid, void** out);
