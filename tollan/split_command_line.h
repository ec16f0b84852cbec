// Splitting the command-line tail into file names.
#pragma once

constexpr int kNameSlotCount = 10;
constexpr int kNameSlotSize = 256;  // 255 bytes of name and the terminating zero
typedef char NameSlots[kNameSlotCount][kNameSlotSize];

// The names, slot by slot, and how many slots from slot 0 on hold one. The
// program's pair lives in name_table.cpp; the splitter's tests define their
// own, between guard areas.
extern NameSlots NameTable;
extern int NameCount;

#ifdef TOLLAN_GUARDED_CURRENT_NAME
// Test build: the current-name buffer on the splitter's own stack lies
// between guard bytes, which cannot be laid out from outside. Set by every
// split: false when a guard changed.
extern bool CurrentNameGuardsIntact;
#endif

// Fills NameTable from slot NameCount on with the names of tail and raises
// NameCount by one for each. Storing stops after the tenth name. Returns
// false when a name is longer than a slot holds: the line is then unusable,
// and the names stored before it are incomplete.
bool SplitCommandLine(const char* tail);
