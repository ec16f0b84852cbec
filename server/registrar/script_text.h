// The text layer of the registry-script engine: characters of the ANSI code
// page, the substitution variables and their expansion, and the tokenizer.
#pragma once

#include <windows.h>

#include "registrar/script_internals.h"

constexpr DWORD kVariableNameLimit = 31;
constexpr LONG kInitialReplacementCapacity = 10;

// One substitution variable: the pair's own UTF-16 copies, from task memory.
struct ReplacementPair {
    wchar_t* name;
    wchar_t* value;
};

// The substitution variables of one run, in the order they were added.
// Wide strings converted to ANSI at each use: the registrar's interface fixes this shape.
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

// The expanded text as it grows; data comes from task memory.
struct ExpansionBuffer {
    SIZE_T length;
    SIZE_T capacity;
    char* data;
};

// On success *expanded is a new text from task memory (free it with TaskFree).
HRESULT ExpandVariables(ScriptEngine* engine, const char* text, char** expanded);
// Reads the next token into token, which holds kTokenBufferSize bytes.
HRESULT ReadToken(ScriptEngine* engine, char* token);
void SkipBlanks(ScriptEngine* engine);
bool IsClosingQuote(const char* position);
// The character after the one at text; a lead byte never takes the
// terminating zero with it.
const char* NextChar(const char* text);
