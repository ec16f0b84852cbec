// What tests/installer/msi_proof.sh asks of the Windows side, run under the
// same Wine as the installer:
//   installer_probe run WORD...         starts the command, waits, prints "exit N" (all 32 bits)
//   installer_probe server 32|64 [user] the long form of the class's LocalServer32 in that view
//                                       of HKLM (or of HKCU)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "guids.h"
#include "registry_snapshot.h"
#include "wine_test_support.h"

using namespace testing_support;

namespace {

// An installer run under an emulated machine may take minutes.
constexpr DWORD kRunTimeoutMs = 30 * 60 * 1000;

// A word with a blank goes in double quotes, as the shell had it.
std::string Quoted(const std::string& word) { return word.find(' ') == std::string::npos ? word : "\"" + word + "\""; }

int Run(int count, char** words)
{
    std::string commandLine;
    for (int i = 0; i < count; ++i)
        commandLine += (i > 0 ? " " : "") + Quoted(words[i]);
    const ProcessResult result = RunProcess(commandLine, kRunTimeoutMs);
    if (!result.started || !result.finished) {
        std::printf("not run: %s (error %lu)\n", result.started ? "timed out" : "cannot start",
                    static_cast<unsigned long>(result.startError));
        return 1;
    }
    std::printf("exit %lu\n", static_cast<unsigned long>(result.exitCode));
    return 0;
}

// The registered command line's program, quotes dropped, in its long form.
int Server(HKEY root, REGSAM view)
{
    const std::string key = "Software\\Classes\\CLSID\\" + GuidText(CLSID_Kelmo) + "\\LocalServer32";
    const RegistryTree tree = Snapshot(root, key, view);
    const auto values = tree.find("");
    if (values == tree.end() || values->second.find("") == values->second.end()) {
        std::printf("not registered\n");
        return 1;
    }
    std::string path = values->second.at("").data.c_str();
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"')
        path = path.substr(1, path.size() - 2);
    char longPath[MAX_PATH];
    const DWORD length = GetLongPathNameA(path.c_str(), longPath, MAX_PATH);
    std::printf("%s\n", length > 0 && length < MAX_PATH ? longPath : ("missing: " + path).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "run") == 0)
        return Run(argc - 2, argv + 2);
    if ((argc == 3 || (argc == 4 && std::strcmp(argv[3], "user") == 0)) && std::strcmp(argv[1], "server") == 0)
        return Server(argc == 4 ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE,
                      std::strcmp(argv[2], "32") == 0 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY);
    std::fprintf(stderr, "usage: installer_probe run COMMAND LINE | server 32|64 [user]\n");
    return 2;
}
