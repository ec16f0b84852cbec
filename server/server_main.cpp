#include "server_main.h"

#include "class_table.h"
#include "guids.h"
#include "registrar/script_engine.h"
#include "server_module.h"

namespace {

constexpr DWORD kPauseBeforeTeardownMs = 1000;

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
    }
    return ServerAction::Serve;
}

HRESULT ServerMain(HINSTANCE instance)
{
    const char* commandLine = GetCommandLineA();
    CoInitialize(nullptr);
    serverModule.Setup(serverClassTable, instance);
    serverModule.mainThreadId = GetCurrentThreadId();
    HRESULT result = S_OK;

    switch (ScanSwitches(commandLine)) {
    case ServerAction::Unregister:
        ApplyScriptResource(&serverModule, kAppIdScriptResource, FALSE, nullptr);
        result = ServerModule::UnregisterAll(&serverModule, TRUE, nullptr);
        break;
    case ServerAction::Register:
        ApplyScriptResource(&serverModule, kAppIdScriptResource, TRUE, nullptr);
        result = ServerModule::RegisterAll(&serverModule, TRUE, nullptr);
        break;
    case ServerAction::Serve: {
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
    return result;
}
