// What the registry-script engine's three files share: the state of one run
// and the sizes of the buffers that pass between them. The text layer
// (script_text.h) sits at the bottom, the applying half (script_applier.h)
// above it, and the reading half (script_reader.h) on top; none calls upward.
// The rest of the server enters only through ApplyScriptResource.
#pragma once

#include <windows.h>

// Every token is read into a buffer of this size; a token holds at most
// kTokenLimit bytes, so that a double-byte character begun under the limit
// still fits with its terminating zero.
constexpr DWORD kTokenBufferSize = 4096;
constexpr DWORD kTokenLimit = 4094;
// Module paths, key names and value names live in buffers of this size.
constexpr DWORD kNameBufferSize = 260;

struct ReplacementMap;
struct KeyPathLevel;
class UndoJournal;

// The state of one script run.
struct ScriptEngine {
    const char* position;          // on the first byte of a character of the expanded text
    ReplacementMap* replacements;  // not owned
    DWORD depth;                   // blocks entered and not yet left
    // Only while the register pass writes: where its changes are recorded
    // before they are made, the section's root key, the path from it to the
    // key of the block being applied, and whether this run created that key
    // (nothing below a key the run created needs recording).
    UndoJournal* journal = nullptr;
    HKEY root = nullptr;
    const KeyPathLevel* path = nullptr;
    bool freshParent = false;
};
