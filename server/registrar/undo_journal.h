// The undo journal of a registration run: before each change the register
// pass makes, a record of what the change takes away (a key that was absent,
// a value's old data, a whole tree about to be deleted), so that a run that
// fails can put every key and value back as it found them. The records lie
// newest last in one block of module memory that never grows past
// kUndoJournalLimit; putting back allocates nothing.
#pragma once

#include <windows.h>

#include "errors.h"

// The most the journal holds: far more than a registration's own keys, and
// little enough that a tree too large to save fails the run before its
// deletion rather than exhausting the heaps.
constexpr DWORD kUndoJournalLimit = 1u << 20;
// A change whose record would not fit under kUndoJournalLimit is refused.
constexpr HRESULT kUndoJournalFull = FoldWin32Error(ERROR_NOT_ENOUGH_QUOTA);

// One level of a key path, held by whoever walks the keys: a chain from the
// innermost level out, so that a path as deep as the registry allows is
// recorded without ever being joined into one text.
struct KeyPathLevel {
    const KeyPathLevel* outer;  // null: this level lies directly below the root
    const char* name;
};

// A key by its root, its registry view (0 for the process's own, or
// KEY_WOW64_32KEY) and the path to it; a null path is the root itself.
struct KeyLocation {
    HKEY root;
    REGSAM view;
    const KeyPathLevel* path;
};

class UndoJournal {
public:
    UndoJournal() = default;
    ~UndoJournal();
    UndoJournal(const UndoJournal&) = delete;
    UndoJournal& operator=(const UndoJournal&) = delete;

    // Before parent\name is created: putting back removes it with its tree.
    HRESULT RecordCreatedKey(const KeyLocation& parent, const char* name);
    // Before a value of key (open, at location) is written: its old type and
    // data, or that it was absent. A null or empty name is the default value.
    HRESULT RecordValue(const KeyLocation& location, HKEY key, const char* valueName);
    // Before parent\name is deleted or rewritten: the whole tree, or that it
    // was absent. A tree that cannot be read whole is refused with the error.
    HRESULT RecordTree(const KeyLocation& parent, const char* name);
    // RecordTree for root\path[0]\...\path[count - 1], or, when a level of
    // that path is absent, for the first absent level: the whole of it is new.
    HRESULT RecordTreeAt(HKEY root, REGSAM view, const char* const* path, DWORD count);

    DWORD Mark() const { return used_; }
    // Puts back, newest first, what the records after mark took away, and
    // forgets them. Best effort: a step that fails does not stop the others.
    void UndoTo(DWORD mark);
    // Forgets the records after mark, putting nothing back.
    void ForgetTo(DWORD mark) { used_ = mark; }

private:
    HRESULT Reserve(DWORD size, BYTE** room);
    HRESULT BeginRecord(DWORD kind, const KeyLocation& location, const char* name, DWORD* start);
    HRESULT EndRecord(DWORD start);
    HRESULT Append(const void* bytes, DWORD size);
    HRESULT AppendText(const char* text);
    HRESULT AppendValue(HKEY key, DWORD index, const char* wantedName, bool* matched);
    HRESULT AppendTree(HKEY key, DWORD depth);
    void UndoRecord(const BYTE* record, DWORD size);

    BYTE* data_ = nullptr;
    DWORD used_ = 0;
    DWORD capacity_ = 0;
};

// The journal of the registration run under way, or null outside one.
UndoJournal* ActiveUndoJournal();

// Makes a journal the active one for the life of the holder.
class UndoJournalScope {
public:
    explicit UndoJournalScope(UndoJournal* journal);
    ~UndoJournalScope();
    UndoJournalScope(const UndoJournalScope&) = delete;
    UndoJournalScope& operator=(const UndoJournalScope&) = delete;

private:
    UndoJournal* previous_;
};
