// The table of classes that the server makes for COM clients, and the
// publishing of their class objects to the COM runtime.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <comcat.h>

struct ServerModule;

using InstanceMaker = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);

// One component category of a class: kind 0 ends the list, 1 marks a category
// that the class implements, any other value one that it requires.
struct CategoryEntry {
    LONG kind;
    const CATID* categoryId;
};

struct ClassEntry {
    const CLSID* classId;  // null in the terminator row
    HRESULT (*applyClassScript)(BOOL registering);
    HRESULT (*classObjectMaker)(InstanceMaker maker, REFIID iid, void** out);
    InstanceMaker instanceMaker;
    IUnknown* classObject;  // a cached class object; this server never sets it
    DWORD registrationCookie;
    const char* (*description)();
    const CategoryEntry* (*categoryList)();
    void (*moduleHook)(BOOL starting);
};

// The server's table: the class Kelmo7_83.Kelmo, then the terminator row.
extern ClassEntry serverClassTable[];

HRESULT PublishClassObjects(ServerModule* module, DWORD context, DWORD flags);
HRESULT PublishClassObject(ClassEntry* entry, DWORD context, DWORD flags);
HRESULT WithdrawClassObjects(ServerModule* module);

// The row's functions for the server's class.
HRESULT ApplyKelmoScript(BOOL registering);
HRESULT HostInstanceMaker(IUnknown* outer, REFIID iid, void** out);
const char* NoDescription();
const CategoryEntry* NoCategories();
void IgnoreModuleEvent(BOOL starting);
