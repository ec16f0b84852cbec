// The program's name table and count, apart from the splitter that fills
// them, so that the splitter's tests can lay out their own.
#include "name_table.h"

NameSlots NameTable;
int NameCount;
