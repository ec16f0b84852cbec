#include "server_main.h"

#include "activation_seam.h"
#include "allocation_probe.h"
#include "class_table.h"
#include "errors.h"
#include "guids.h"
#include "registrar/registration.h"
#include "registrar/script_engine.h"
#include "server_module.h"

namespace {

constexpr DWORD kPauseBeforeTeardownMs = 1000;

HRESULT AppIdScript(BOOL registering)
{
    return ApplyScriptResource(&serverModule, kAppIdScriptResource, registering, nullptr);
}

HRESULT Unregister() { return ServerModule::UnregisterServer(&serverModule, AppIdScript); }

HRESULT Register() { return ServerModule::RegisterServer(&serverModule, AppIdScript); }

// Without the redirection in place nothing is written: it would land
// machine-wide.
HRESULT ForCurrentUser(HRESULT (*registration)())
{
    PerUserClassesRoot classesRoot;
    RETURN_IF_FAILED(classesRoot.Begin());
    return registration();
}

}  // namespace

const char* FindAfterAnyOf(const char* text, const char* set)
{
    if (text == nullptr)
        return nullptr;
    for (const char* p = text; *p != '\0'; p = CharNextA(p)) {
        for (const char* s = set; *s != '\0'; s = CharNextA(s)) {
            if (*p == *s)
                return CharNextA(p);
        }
    }
    return nullptr;
}

ServerAction ScanSwitches(const char* commandLine)
{
    for (const char* p = commandLine; (p = FindAfterAnyOf(p, "-/")) != nullptr;) {
        if (lstrcmpiA(p, "UnregServer") == 0)
            return ServerAction::Unregister;
        if (lstrcmpiA(p, "RegServer") == 0)
            return ServerAction::Register;
        if (lstrcmpiA(p, "RegServerPerUser") == 0)
            return ServerAction::RegisterPerUser;
        if (lstrcmpiA(p, "UnregServerPerUser") == 0)
            return ServerAction::UnregisterPerUser;
    }
    return ServerAction::Serve;
}

HRESULT ServerMain(HINSTANCE instance)
{
    const char* commandLine = GetCommandLineA();
#ifdef KELMO_ALLOCATION_PROBE
    AllocationProbeStart();
#endif
    CoInitialize(nullptr);
    serverModule.Setup(serverClassTable, instance);
    serverModule.mainThreadId = GetCurrentThreadId();
    HRESULT result = S_OK;

    switch (ScanSwitches(commandLine)) {
    case ServerAction::Unregister:
        result = Unregister();
        break;
    case ServerAction::Register:
        result = Register();
        break;
    case ServerAction::UnregisterPerUser:
        result = ForCurrentUser(Unregister);
        break;
    case ServerAction::RegisterPerUser:
        result = ForCurrentUser(Register);
        break;
    case ServerAction::Serve: {
        ActivationSeamStart();
        serverModule.StartShutdownMonitor();
        PublishClassObjects(&serverModule, CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE);
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0))
            DispatchMessageA(&message);
        WithdrawClassObjects(&serverModule);
        Sleep(kPauseBeforeTeardownMs);
        break;
    }
    }

    // Leaving the apartment first disconnects what clients still hold, such as
    // a class object: its last Release must reach the heaps before they go.
    CoUninitialize();
    ServerModule::Teardown(&serverModule);
#ifdef KELMO_ALLOCATION_PROBE
    AllocationProbeReport();
#endif
    return result;
}
