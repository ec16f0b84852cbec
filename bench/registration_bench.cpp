// registration_bench KELMO7_EXE [ROUNDS]: the program's /RegServer and
// /UnregServer against the platform's `reg import` of .reg files holding the
// same entries (and their removal), alternated in one run, as medians.
// /RegServer also registers the type library, which the .reg file does not.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"
#include "guids.h"
#include "wine_test_support.h"

namespace {

using namespace testing_support;

// Times one program run; negative when it failed.
double Timed(const std::string& commandLine)
{
    const double start = NowMs();
    const ProcessResult result = RunProcess(commandLine, 60000);
    const double elapsed = NowMs() - start;
    return result.finished && result.exitCode == 0 ? elapsed : -1;
}

std::string Escaped(const std::string& text)
{
    std::string out;
    for (char c : text)
        out += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: registration_bench KELMO7_EXE [ROUNDS]\n");
        return 2;
    }
    const std::string server = WindowsPath(argv[1]);
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 15;
    char shortPath[MAX_PATH];
    if (GetShortPathNameA(server.c_str(), shortPath, MAX_PATH) == 0)
        lstrcpyA(shortPath, server.c_str());

    const std::string classes = "HKEY_CLASSES_ROOT\\";
    const std::string appId = GuidText(APPID_Kelmo7), classId = GuidText(CLSID_Kelmo);
    const std::string classKey = classes + "CLSID\\" + classId;
    // clang-format off
    const std::string add =
        "REGEDIT4\r\n\r\n"
        "[" + classes + "AppID\\" + appId + "]\r\n@=\"Kelmo7\"\r\n\r\n"
        "[" + classes + "AppID\\Kelmo7.EXE]\r\n\"AppID\"=\"" + appId + "\"\r\n\r\n"
        "[" + classes + "Kelmo7_83.Kelmo]\r\n@=\"Kelmo Class\"\r\n\r\n"
        "[" + classes + "Kelmo7_83.Kelmo\\CLSID]\r\n@=\"" + classId + "\"\r\n\r\n"
        "[" + classKey + "]\r\n@=\"Kelmo Class\"\r\n\"AppID\"=\"" + appId + "\"\r\n\r\n"
        "[" + classKey + "\\ProgID]\r\n@=\"Kelmo7_83.Kelmo\"\r\n\r\n"
        "[" + classKey + "\\VersionIndependentProgID]\r\n@=\"Kelmo7_83.Kelmo\"\r\n\r\n"
        "[" + classKey + "\\Programmable]\r\n\r\n"
        "[" + classKey + "\\LocalServer32]\r\n@=\"" + Escaped(shortPath) + "\"\r\n\r\n"
        "[" + classKey + "\\TypeLib]\r\n@=\"" + GuidText(LIBID_Kelmo7_83) + "\"\r\n\r\n";
    const std::string remove =
        "REGEDIT4\r\n\r\n"
        "[-" + classes + "AppID\\" + appId + "]\r\n\r\n"
        "[-" + classes + "AppID\\Kelmo7.EXE]\r\n\r\n"
        "[-" + classes + "Kelmo7_83.Kelmo]\r\n\r\n"
        "[-" + classKey + "]\r\n\r\n";
    // clang-format on
    if (!WriteFileText("add.reg", add) || !WriteFileText("remove.reg", remove)) {
        std::printf("cannot write the .reg files\n");
        return 1;
    }

    std::vector<double> regServer, unregServer, import, importRemoval;
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        const double times[] = {Timed(server + " /RegServer"), Timed(server + " /UnregServer"),
                                Timed("reg import add.reg"), Timed("reg import remove.reg")};
        std::vector<double>* series[] = {&regServer, &unregServer, &import, &importRemoval};
        for (int k = 0; k < 4; ++k) {
            if (times[k] < 0)
                ++failures;
            else
                series[k]->push_back(times[k]);
        }
    }
    std::printf("%d rounds alternated, medians (%d failed runs):\n", rounds, failures);
    std::printf("  Kelmo7.exe /RegServer    %7.1f ms   reg import of the entries  %7.1f ms   ratio %.3f\n",
                Median(regServer), Median(import), Median(regServer) / Median(import));
    std::printf("  Kelmo7.exe /UnregServer  %7.1f ms   reg import of removals     %7.1f ms   ratio %.3f\n",
                Median(unregServer), Median(importRemoval), Median(unregServer) / Median(importRemoval));
    TableRow("Kelmo7.exe /RegServer vs reg import of the same entries", Median(regServer), "ms", Median(import), "",
             "none set");
    TableRow("Kelmo7.exe /UnregServer vs reg import of their removal", Median(unregServer), "ms", Median(importRemoval),
             "", "none set");
    return failures == 0 ? 0 : 1;
}
