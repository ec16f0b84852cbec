// Splitting the command-line tail into file names.
#pragma once

#include "name_table.h"

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
