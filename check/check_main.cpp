// kelmo7-check: reads a deployment of Kelmo7.exe and its hosted component as
// a client of this program's bitness sees it, and activates the class once.
// One line a check; it never writes to the registry or to a file.
#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <cstring>

#include "deployment_checks.h"
#include "deployment_reader.h"

namespace {

const char kUsage[] =
    "usage: kelmo7-check [--no-activate]\n"
    "Checks the deployment of Kelmo7.exe as a %d-bit client sees it: the ProgID, the class\n"
    "in each registry view, the hosted component in the server's view, the marshaling of\n"
    "its interface and of IKelmo in the client's view, then one activation out of process\n"
    "(skipped with --no-activate). Run the build of the failing client's bitness:\n"
    "kelmo7-check-x86.exe for 32-bit clients, kelmo7-check-x64.exe for 64-bit ones.\n"
    "Reads only. Exit code 0 when every check held, 1 when one failed, 2 for an\n"
    "argument it does not know.\n";

}  // namespace

int main(int argc, char** argv)
{
    bool activate = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "/?") == 0) {
            std::printf(kUsage, check::ClientBits());
            return 0;
        }
        if (std::strcmp(argv[i], "--no-activate") != 0) {
            std::fprintf(stderr, kUsage, check::ClientBits());
            return 2;
        }
        activate = false;
    }
    // The type libraries are loaded in this thread; the live checks start
    // their own apartment on their own thread.
    if (FAILED(CoInitialize(nullptr))) {
        std::fprintf(stderr, "kelmo7-check: COM could not be started\n");
        return 1;
    }
    std::printf("kelmo7-check: a %d-bit client's view\n", check::ClientBits());
    check::Report report;
    const check::Deployment deployment = check::CheckRegistration(report);
    if (activate)
        check::CheckLive(report, deployment);
    report.Summary();
    const int failed = report.failed();
    // A live step given up on still waits inside the platform: end here.
    std::fflush(stdout);
    ExitProcess(failed == 0 ? 0 : 1);
}
