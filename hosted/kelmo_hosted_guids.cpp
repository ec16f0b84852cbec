// The sample component's identifiers, defined once for the programs that use
// it from outside (tests, demo, benchmarks).
#include <windows.h>

#include <initguid.h>

#include "KelmoHosted.h"
