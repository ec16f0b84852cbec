#include "hosted_component_registration.h"

#include "wine_test_support.h"

namespace testing_support {

namespace {

HRESULT CallExport(const char* name)
{
    HMODULE module = LoadLibraryA(HostedComponentPath().c_str());
    if (module == nullptr)
        return HRESULT_FROM_WIN32(GetLastError());
    using Export = HRESULT(STDAPICALLTYPE*)();
    const auto function = reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    const HRESULT hr = function != nullptr ? function() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    FreeLibrary(module);
    return hr;
}

}  // namespace

std::string HostedComponentPath() { return WindowsPath(KELMO_HOSTED_DLL); }

HRESULT RegisterHostedComponent() { return CallExport("DllRegisterServer"); }

HRESULT UnregisterHostedComponent() { return CallExport("DllUnregisterServer"); }

}  // namespace testing_support
