// The sample hosted component (KelmoHosted.dll) for tests that need it
// registered in their prefix. Targets get the DLL's path by linking
// kelmo_hosted_support. Registration writes HKEY_CLASSES_ROOT entries that
// every test of the prefix sees: such tests take the lock hosted_registration.
#pragma once

#include <windows.h>

#include <string>

namespace testing_support {

// The DLL as the Windows side sees it.
std::string HostedComponentPath();

// Load the DLL by its path and call its DllRegisterServer or DllUnregisterServer.
HRESULT RegisterHostedComponent();
HRESULT UnregisterHostedComponent();

// Registered for as long as the holder lives.
class HostedComponentRegistration {
public:
    HostedComponentRegistration() : result_(RegisterHostedComponent()) {}
    ~HostedComponentRegistration() { UnregisterHostedComponent(); }
    HostedComponentRegistration(const HostedComponentRegistration&) = delete;
    HostedComponentRegistration& operator=(const HostedComponentRegistration&) = delete;

    HRESULT result() const { return result_; }

private:
    HRESULT result_;
};

}  // namespace testing_support
