// The one process-wide record of the server: module handles, class table, lock
// count, private heaps, module lock, shutdown callbacks, and the fields through
// which the shutdown monitor ends the process.
#pragma once

#include <windows.h>

struct ClassEntry;

// A clean-up routine run once at teardown, newest first.
using TermFunction = void (*)(ULONG_PTR argument);

struct TermCallback {
    TermFunction function;
    ULONG_PTR argument;
    TermCallback* next;  // the node added before this one
};

// The platform facts that decide the heap mode. Production reads them from the
// system; tests hand them in to exercise every mode on any machine.
struct PlatformFacts {
    DWORD platformId;
    DWORD majorVersion;
    DWORD processorCount;
};

struct ServerModule {
    HINSTANCE moduleInstance;
    HINSTANCE typeLibInstance;
    ClassEntry* classTable;
    volatile LONG lockCount;
    HANDLE baseHeap;
    CRITICAL_SECTION moduleLock;
    DWORD heapMask;
    HANDLE* extraHeaps;
    DWORD nextHeap;
    TermCallback* termCallbacks;
    DWORD mainThreadId;
    HANDLE shutdownEvent;
    volatile BYTE activity;
    // What the first-lock deadline and the class factory decide on together:
    // the number of activations under way while no lock was ever taken, or
    // for good kServerReached or kServerClosing.
    volatile LONG firstLockState;

    HRESULT Setup(ClassEntry* table, HINSTANCE instance, const PlatformFacts* facts = nullptr);
    static HRESULT Teardown(ServerModule* module);

    HRESULT AddTermCallback(TermFunction function, ULONG_PTR argument);
    LONG AddLock();
    LONG ReleaseLock();

    // An activation or a LockServer call goes ahead only when this returns
    // true, and then ends with EndActivation; false: the server is closing.
    bool BeginActivation();
    void EndActivation();
    // The first-lock deadline's decision: closes the server, and returns 0,
    // only if no lock was ever taken and no activation is under way; else
    // returns the state that keeps the server.
    LONG CloseIfUnreached();

    bool StartShutdownMonitor();

    static HRESULT RegisterAll(ServerModule* module, BOOL withTypeLibrary, const CLSID* classId);
    static HRESULT UnregisterAll(ServerModule* module, BOOL withTypeLibrary, const CLSID* classId);
};

// The final values of ServerModule::firstLockState.
constexpr LONG kServerReached = -1;  // a lock was taken: only an idle window ends the server
constexpr LONG kServerClosing = -2;  // the first-lock deadline ended it: nothing more is made

// The one ServerModule of the process. Zero-initialised data: no constructor runs.
extern ServerModule serverModule;

PlatformFacts ReadPlatformFacts();
