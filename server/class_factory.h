// The class object that the COM runtime calls to make the server's objects.
#pragma once

#include "class_table.h"

// Makes a ClassFactory for the maker and queries it for iid; on success the
// caller holds the one reference that the query added.
HRESULT MakeClassFactory(InstanceMaker maker, REFIID iid, void** out);
