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
    // What the shutdown monitor and the class factory decide on together, so
    // that no activation slips in while the monitor ends the server: while
    // open, the activations under way (in steps of kActivationUnderWay) and
    // kLockTaken once a lock was taken since the monitor last looked; for good
    // kServerClosing once the monitor has decided.
    volatile LONG activationState;
    // The locks that LockServer(TRUE) took and LockServer(FALSE) has not given
    // back; they are part of lockCount.
    volatile LONG serverLocks;

    HRESULT Setup(ClassEntry* table, HINSTANCE instance, const PlatformFacts* facts = nullptr);
    static HRESULT Teardown(ServerModule* module);

    HRESULT AddTermCallback(TermFunction function, ULONG_PTR argument);
    LONG AddLock();
    LONG ReleaseLock();
    // LockServer's locks: a release without a lock of its own to give back
    // changes nothing and returns false.
    void AddServerLock();
    bool ReleaseServerLock();

    // An activation or a LockServer call goes ahead only when this returns
    // true, and then ends with EndActivation; false: the server is closing.
    bool BeginActivation();
    void EndActivation();
    // The shutdown monitor's decision, at the first-lock deadline and at the
    // end of an idle window: closes the server, and returns true, only if no
    // lock is held, none was released to zero since the monitor cleared
    // activity, and no activation is under way or got in while it looked.
    bool CloseIfIdle();

    bool StartShutdownMonitor();

    static HRESULT RegisterAll(ServerModule* module, BOOL withTypeLibrary, const CLSID* classId);
    static HRESULT UnregisterAll(ServerModule* module, BOOL withTypeLibrary, const CLSID* classId);
    // The whole server, as /RegServer and /UnregServer run it: extra (the
    // AppID script) first, whose result does not count, then the classes and
    // the type library, whose result is returned. A failed registration takes
    // back what it wrote, extra included, only when no class had a server
    // registered before the run: a failed re-registration leaves the one that
    // worked, for the installer's rollback to put back the file it names (an
    // installer that rolls back cannot be relied on to run /UnregServer; Wine's
    // msiexec does not).
    static HRESULT RegisterServer(ServerModule* module, HRESULT (*extra)(BOOL registering));
    static HRESULT UnregisterServer(ServerModule* module, HRESULT (*extra)(BOOL registering));
};

// The values of ServerModule::activationState.
constexpr LONG kServerClosing = -1;      // for good: the monitor ends the server and nothing more is made
constexpr LONG kLockTaken = 1;           // a lock was taken since the monitor last looked
constexpr LONG kActivationUnderWay = 2;  // one step per activation under way

// The one ServerModule of the process. Zero-initialised data: no constructor runs.
extern ServerModule serverModule;

PlatformFacts ReadPlatformFacts();
