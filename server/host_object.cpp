#include "host_object.h"

HRESULT NewHostObject(REFIID, void** out)
{
    *out = nullptr;
    return E_NOTIMPL;
}
