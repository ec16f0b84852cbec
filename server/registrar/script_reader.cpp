#include "registrar/script_engine.h"

HRESULT ApplyScriptResource(ServerModule*, WORD, BOOL, const ScriptVariable*)
{
    return E_NOTIMPL;
}
