// The program's name table and count, apart from the splitter that fills
// them, so that the splitter's tests can lay out their own.
#include "split_command_line.h"

NameSlots NameTable;
int NameCount;
