// The names from the command line, slot by slot, and how many slots from
// slot 0 on hold one. The program's pair is defined in name_table.cpp; the
// splitter's tests define their own, between guard areas.
#pragma once

constexpr int kNameSlotCount = 10;
constexpr int kNameSlotSize = 256;  // 255 bytes of name and the terminating zero
typedef char NameSlots[kNameSlotCount][kNameSlotSize];

extern NameSlots NameTable;
extern int NameCount;
