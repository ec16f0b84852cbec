#include "server_module.h"

HRESULT ServerModule::RegisterAll(ServerModule* module, BOOL, const CLSID*)
{
    return module == nullptr ? E_INVALIDARG : E_NOTIMPL;
}

HRESULT ServerModule::UnregisterAll(ServerModule* module, BOOL, const CLSID*)
{
    return module == nullptr ? E_INVALIDARG : S_OK;
}
