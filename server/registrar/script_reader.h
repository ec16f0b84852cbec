// The reading half of the registry-script engine: the module path and the
// substitution variables, the script resource, and the section loop.
#pragma once

#include <windows.h>

#include "registrar/script_engine.h"
#include "registrar/script_internals.h"

// How the module path is found: production hands in the module's instance
// and GetShortPathNameA, a test may hand in a stand-in for the latter.
using ShortPathFunction = DWORD(WINAPI*)(LPCSTR longPath, LPSTR shortPath, DWORD size);
struct ModulePathSource {
    HINSTANCE instance;
    ShortPathFunction shortPathName;
};

// ApplyScriptResource with the module path found through source.
HRESULT ApplyScriptResourceFrom(const ModulePathSource& source, WORD resourceId, BOOL registering,
                                const ScriptVariable* extraPairs);
// The file name of source's module, the short name when it is the process's
// own executable. E_OUTOFMEMORY when the name does not fit in kNameBufferSize.
HRESULT FindModulePath(const ModulePathSource& source, char* path);
HRESULT RegisterScriptResource(ReplacementMap* map, const wchar_t* modulePath, WORD resourceId,
                               const wchar_t* typeName);
HRESULT UnregisterScriptResource(ReplacementMap* map, const wchar_t* modulePath, WORD resourceId,
                                 const wchar_t* typeName);
HRESULT RunResourceScript(ReplacementMap* map, const wchar_t* modulePath, WORD resourceId, const char* typeName,
                          BOOL registering);
// Expands text and applies each of its root sections in turn.
HRESULT RunScriptText(ScriptEngine* engine, const char* text, BOOL registering);
HKEY LookupRootKey(const char* name);
// destination holds twice the characters of source plus one.
void DoubleSingleQuotes(wchar_t* destination, const wchar_t* source);
// The value of the "Module" variable for path: its single quotes doubled, and
// the whole in double quotes when it holds a blank. destination holds twice
// the characters of path plus three.
void ModuleVariableValue(wchar_t* destination, const wchar_t* path);
