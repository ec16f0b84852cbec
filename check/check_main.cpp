// kelmo7-check: reads a deployment of Kelmo7.exe and its hosted component as
// a client of this program's bitness sees it, and activates the class once.
// One line a check; it never writes to the registry or to a file.
#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bounded_run.h"
#include "deployment_checks.h"
#include "deployment_reader.h"

namespace {

const char kUsage[] =
    "usage: kelmo7-check [--no-activate | --activate] [--bound SECONDS]\n"
    "Checks the deployment of Kelmo7.exe as a %d-bit client sees it: the ProgID, the class\n"
    "in each registry view with the values that redirect an activation, the hosted component\n"
    "in the server's view, the marshaling of its interface and of IKelmo at both ends (the\n"
    "client's view for the proxy, the server's for the stub), then one activation out of\n"
    "process (skipped with --no-activate, and for a class that Windows Installer advertises,\n"
    "whose activation may start a repair, unless --activate). Every step has a time bound\n"
    "(75 s for the activation, 10 s for the others; --bound sets all of them).\n"
    "Run the build of the failing client's bitness: kelmo7-check-x86.exe for 32-bit clients,\n"
    "kelmo7-check-x64.exe for 64-bit ones.\n"
    "Reads only. Exit code 0 when every check held, 1 when one failed, 2 for an\n"
    "argument it does not know.\n";

struct Options {
    bool noActivate = false;
    bool forceActivate = false;
    DWORD boundMs = 0;
};

struct RegistrationRun {
    check::Report* report;
    check::Deployment deployment;
};

DWORD WINAPI RegistrationThread(void* parameter)
{
    RegistrationRun* run = static_cast<RegistrationRun*>(parameter);
    // The type libraries are loaded in this thread.
    const HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) {
        run->report->Fail("registry checks: CoInitialize in their thread: " + check::HresultText(hr),
                          "run the check again; if it fails again, mail this output", check::kEntryNoAnswer);
        return 1;
    }
    run->deployment = check::CheckRegistration(*run->report);
    CoUninitialize();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    bool usage = false;
    for (int i = 1; i < argc && !usage; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "/?") == 0) {
            std::printf(kUsage, check::ClientBits());
            return 0;
        }
        if (std::strcmp(argv[i], "--no-activate") == 0) {
            options.noActivate = true;
        } else if (std::strcmp(argv[i], "--activate") == 0) {
            options.forceActivate = true;
        } else if (std::strcmp(argv[i], "--bound") == 0 && i + 1 < argc) {
            const long seconds = std::strtol(argv[++i], nullptr, 10);
            usage = seconds <= 0 || seconds > 3600;
            options.boundMs = static_cast<DWORD>(seconds) * 1000;
        } else {
            usage = true;
        }
    }
    if (usage || (options.noActivate && options.forceActivate)) {
        std::fprintf(stderr, kUsage, check::ClientBits());
        return 2;
    }
    // This thread waits on the others in a single-threaded apartment of its
    // own, and pumps its messages while it waits.
    const HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) {
        std::fprintf(stderr, "kelmo7-check: COM could not be started: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 1;
    }
    const bool elevated = check::RunsElevated();
    std::printf("kelmo7-check: a %d-bit client's view, %s\n", check::ClientBits(),
                elevated ? "elevated (COM reads HKLM only: per-user registrations do not count)"
                         : "not elevated (HKCU's registrations come before HKLM's)");
    check::Report report;
    // Left to the process's end if the registry phase hangs.
    RegistrationRun* run = new RegistrationRun{&report, {}};
    bool finished = check::RunBounded(report, RegistrationThread, run, nullptr);
    if (finished && !options.noActivate) {
        if (run->deployment.advertised && !options.forceActivate)
            report.Note(
                "activation skipped: the class is advertised, and activating it may start a Windows "
                "Installer repair, which writes; --activate forces it");
        else
            check::CheckLive(report, run->deployment, options.boundMs);
    }
    report.Summary();
    const int failed = report.failed();
    // A step given up on still waits inside the platform: end here.
    std::fflush(stdout);
    ExitProcess(failed == 0 ? 0 : 1);
}
