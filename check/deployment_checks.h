// The checks, in the order the platform walks a deployment: the registry and
// the files it names (ProgID, the class in each view, the hosted component in
// the server's view, marshaling in the client's view), then a live activation.
#pragma once

#include <string>

#include "check_report.h"

namespace check {

// What the registry checks found that the live checks compare with.
struct Deployment {
    int serverBits = 0;       // of the program the client will start; 0 when unknown
    std::wstring serverName;  // its file name, to find its process
    std::wstring serverPath;  // the file itself
    bool advertised = false;  // a Windows Installer descriptor stands for LocalServer32
};

Deployment CheckRegistration(Report& report);
// boundMs 0: each step's own bound.
void CheckLive(Report& report, const Deployment& deployment, DWORD boundMs);

}  // namespace check
