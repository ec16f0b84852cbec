// The registry-script engine, entered from the rest of the server only here.
#pragma once

#include <windows.h>

struct ServerModule;

// An extra substitution variable; an array of them ends with a null name.
struct ScriptVariable {
    const wchar_t* name;
    const wchar_t* value;
};

// Runs the "REGISTRY" resource of the program's own file in the register pass
// (registering nonzero) or the unregister pass. "Module" is always defined.
HRESULT ApplyScriptResource(ServerModule* module, WORD resourceId, BOOL registering, const ScriptVariable* extraPairs);
