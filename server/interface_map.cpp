#include "interface_map.h"

bool SameGuid(const GUID& a, const GUID& b)
{
    const BYTE* x = reinterpret_cast<const BYTE*>(&a);
    const BYTE* y = reinterpret_cast<const BYTE*>(&b);
    for (unsigned i = 0; i < sizeof(GUID); ++i) {
        if (x[i] != y[i])
            return false;
    }
    return true;
}

static HRESULT AnswerDirectly(void* object, const InterfaceEntry& row, void** out)
{
    IUnknown* answer = reinterpret_cast<IUnknown*>(static_cast<BYTE*>(object) + row.data);
    answer->lpVtbl->AddRef(answer);
    *out = answer;
    return S_OK;
}

HRESULT QueryInterfaceMap(void* object, const InterfaceEntry* map, REFIID iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;

    if (SameGuid(iid, IID_IUnknown))
        return AnswerDirectly(object, map[0], out);

    for (const InterfaceEntry* row = map; row->handler != nullptr; ++row) {
        if (row->interfaceId != nullptr && !SameGuid(*row->interfaceId, iid))
            continue;
        if (row->handler == DIRECT_ROW)
            return AnswerDirectly(object, *row, out);
        const HRESULT hr = row->handler(object, iid, out, row->data);
        if (hr == S_OK)
            return hr;
        *out = nullptr;  // whatever a refusing handler left there is not an answer
        if (FAILED(hr) && row->interfaceId != nullptr)
            return hr;
    }
    return E_NOINTERFACE;
}
