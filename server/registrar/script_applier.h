// The applying half of the registry-script engine: one block of a script
// applied under a parent key, and the key and value operations behind it.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "handles.h"
#include "registrar/script_internals.h"

// The registry itself nests keys at most this deep; a script may not nest
// its blocks deeper, which also bounds the engine's own recursion.
constexpr DWORD kBlockDepthLimit = 512;

HRESULT ApplyBlock(ScriptEngine* engine, char* token, HKEY parent, BOOL registering, BOOL parseOnly);
LONG OpenSubkey(UniqueKey& held, HKEY parent, const char* name, REGSAM access);
LONG DeleteKeyTree(HKEY key, const char* name);
HRESULT WriteValue(ScriptEngine* engine, HKEY key, const char* valueName, char* token);
HRESULT SkipValueClause(ScriptEngine* engine, char* token);
bool LookupValueType(const char* letter, VARTYPE* type);
BYTE HexDigitValue(char digit);
bool KeyHasSubkeys(HKEY key);
bool KeyHasNamedValues(HKEY key);
bool IsProtectedKeyName(const char* name);
