// Splitting the command-line tail into file names.
#pragma once

constexpr int kNameSlotCount = 10;
constexpr int kNameSlotSize = 256;  // 255 bytes of name and the terminating zero
typedef char NameSlots[kNameSlotCount][kNameSlotSize];

#ifdef TOLLAN_GUARDED_NAME_TABLE
// Test build: the table lies between two guard areas in one record, so that
// a write beyond either end lands in a guard the tests can inspect; the
// current-name buffer is guarded the same way on the splitter's stack.
constexpr int kGuardSize = 64;
struct GuardedNameTable {
    unsigned char before[kGuardSize];
    NameSlots slots;
    unsigned char after[kGuardSize];
};
extern GuardedNameTable GuardedNames;
extern NameSlots& NameTable;
// Set by every split: false when a guard of the current-name buffer changed.
extern bool CurrentNameGuardsIntact;
#else
extern NameSlots NameTable;
#endif

// How many slots, from slot 0 on, hold a name.
extern int NameCount;

// Fills NameTable from slot NameCount on with the names of tail and raises
// NameCount by one for each. Storing stops after the tenth name. Returns
// false when a name is longer than a slot holds: the line is then unusable,
// and the names stored before it are incomplete.
bool SplitCommandLine(const char* tail);
