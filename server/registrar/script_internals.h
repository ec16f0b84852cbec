// The registry-script engine's inner parts, shared by its reading half
// (script_reader.cpp), its applying half (script_applier.cpp) and the tests.
// The rest of the server enters only through ApplyScriptResource.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "handles.h"
#include "registrar/script_engine.h"

// Every token is read into a buffer of this size; a token holds at most
// kTokenLimit bytes, so that a double-byte character begun under the limit
// still fits with its terminating zero.
constexpr DWORD kTokenBufferSize = 4096;
constexpr DWORD kTokenLimit = 4094;
// Module paths, key names and value names live in buffers of this size.
constexpr DWORD kNameBufferSize = 260;
constexpr DWORD kVariableNameLimit = 31;
constexpr LONG kInitialReplacementCapacity = 10;
// The registry itself nests keys at most this deep; a script may not nest
// its blocks deeper, which also bounds the engine's own recursion.
constexpr DWORD kBlockDepthLimit = 512;

// One substitution variable: the pair's own UTF-16 copies, from task memory.
struct ReplacementPair {
    wchar_t* name;
    wchar_t* value;
};

// The substitution variables of one run, in the order they were added.
struct ReplacementMap {
    ReplacementPair** pairs;
    LONG count;
    LONG capacity;

    // An empty map with room for kInitialReplacementCapacity pairs.
    HRESULT Create();
    HRESULT Add(const wchar_t* name, const wchar_t* value);
    // The value of the first pair whose name, in ANSI, equals name ignoring case.
    const wchar_t* Find(const char* name) const;
    // Frees every pair; the array stays.
    HRESULT Clear();
    // Clear, then free the array.
    void Destroy();
};

// The state of one script run.
struct ScriptEngine {
    const char* position;          // on the first byte of a character of the expanded text
    ReplacementMap* replacements;  // not owned
    DWORD depth;                   // blocks entered and not yet left
};

// The expanded text as it grows; data comes from task memory.
struct ExpansionBuffer {
    SIZE_T length;
    SIZE_T capacity;
    char* data;
};

// How the module path is found: production hands in the module's instance
// and GetShortPathNameA, a test may hand in a stand-in for the latter.
using ShortPathFunction = DWORD(WINAPI*)(LPCSTR longPath, LPSTR shortPath, DWORD size);
struct ModulePathSource {
    HINSTANCE instance;
    ShortPathFunction shortPathName;
};

// --- The reading half -----------------------------------------------------

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
HRESULT RunScriptText(ScriptEngine* engine, const char* text, BOOL registering);
// On success *expanded is a new text from task memory (free it with TaskFree).
HRESULT ExpandVariables(ScriptEngine* engine, const char* text, char** expanded);
HRESULT ReadToken(ScriptEngine* engine, char* token);
void SkipBlanks(ScriptEngine* engine);
bool IsClosingQuote(const char* position);
HKEY LookupRootKey(const char* name);
// destination holds twice the characters of source plus one.
void DoubleSingleQuotes(wchar_t* destination, const wchar_t* source);
// The value of the "Module" variable for path: its single quotes doubled, and
// the whole in double quotes when it holds a blank. destination holds twice
// the characters of path plus three.
void ModuleVariableValue(wchar_t* destination, const wchar_t* path);
// The calling thread's last Win32 error folded into an HRESULT; E_FAIL when
// the platform left no error code, so that a failure never reads as success.
HRESULT LastErrorResult();
// The character after the one at text; a lead byte never takes the
// terminating zero with it.
const char* NextChar(const char* text);

// --- The applying half ----------------------------------------------------

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
