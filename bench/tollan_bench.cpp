// tollan_bench WIN32_TOLLAN TOLLAN [RUNS]: prints the size of the 32-bit
// tollan.exe, then the wall time of deleting a read-only file by starting
// TOLLAN and by starting the platform's "cmd /c del /f /a", the two
// alternated in one run, as medians and their ratio. Paths are given
// in Unix form; they lie on drive Z:.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"
#include "wine_test_support.h"

namespace {

using testing_support::NowMs;
using testing_support::WindowsPath;

bool MakeReadOnlyFile(const std::string& path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_READONLY, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    WriteFile(file, "bench", 5, &written, nullptr);
    CloseHandle(file);
    return true;
}

// Milliseconds from starting commandLine to its end; negative on failure.
double TimeProcess(const std::string& commandLine)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    const double start = NowMs();
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &info))
        return -1;
    const bool ended = WaitForSingleObject(info.hProcess, 30000) == WAIT_OBJECT_0;
    const double elapsed = NowMs() - start;
    if (!ended)
        TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return ended ? elapsed : -1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: tollan_bench WIN32_TOLLAN TOLLAN [RUNS]\n");
        return 2;
    }
    const std::string win32Tollan = WindowsPath(argv[1]);
    const std::string tollan = WindowsPath(argv[2]);
    const int runs = std::max(1, argc > 3 ? std::atoi(argv[3]) : 25);

    WIN32_FILE_ATTRIBUTE_DATA facts;
    if (GetFileAttributesExA(win32Tollan.c_str(), GetFileExInfoStandard, &facts)) {
        std::printf("tollan.exe (win32): %lu bytes (goal 16384)\n", static_cast<unsigned long>(facts.nFileSizeLow));
        TableRow("size of the win32 tollan.exe", facts.nFileSizeLow / 1024.0, "KiB", 0, "-", "16 KiB or less");
    } else {
        std::printf("tollan.exe (win32): not found at %s (build the win32 preset first)\n", win32Tollan.c_str());
    }

    char systemFolder[MAX_PATH];
    char temp[MAX_PATH];
    if (GetSystemDirectoryA(systemFolder, MAX_PATH) == 0 || GetTempPathA(MAX_PATH, temp) == 0)
        return 1;
    const std::string folder = std::string(temp) + "tollan-bench-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string target = folder + "\\read-only.txt";
    const std::string byTollan = "\"" + tollan + "\" \"" + target + "\"";
    const std::string byCmd = "\"" + std::string(systemFolder) + "\\cmd.exe\" /c del /f /a \"" + target + "\"";

    // Each run deletes a fresh read-only file and checks that it is gone.
    int failures = 0;
    auto deleteOnce = [&](const std::string& commandLine) {
        if (!MakeReadOnlyFile(target)) {
            ++failures;
            return -1.0;
        }
        const double elapsed = TimeProcess(commandLine);
        if (elapsed < 0 || GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
            ++failures;
            SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(target.c_str());
            return -1.0;
        }
        return elapsed;
    };

    for (int i = 0; i < 2; ++i) {  // warm-up, not counted
        deleteOnce(byTollan);
        deleteOnce(byCmd);
    }
    failures = 0;
    std::vector<double> tollanTimes, cmdTimes;
    for (int i = 0; i < runs; ++i) {
        // Alternate which goes first, so neither always follows the other.
        const bool tollanFirst = i % 2 == 0;
        const double first = deleteOnce(tollanFirst ? byTollan : byCmd);
        const double second = deleteOnce(tollanFirst ? byCmd : byTollan);
        const double tollanTime = tollanFirst ? first : second;
        const double cmdTime = tollanFirst ? second : first;
        if (tollanTime >= 0)
            tollanTimes.push_back(tollanTime);
        if (cmdTime >= 0)
            cmdTimes.push_back(cmdTime);
    }
    RemoveDirectoryA(folder.c_str());

    if (tollanTimes.empty() || cmdTimes.empty()) {
        std::printf("deletion failed in every run (%d failures)\n", failures);
        return 1;
    }
    const double tollanMedian = Median(tollanTimes);
    const double cmdMedian = Median(cmdTimes);
    std::printf("deleting a read-only file, %d runs each, alternated (%d failed runs):\n", runs, failures);
    std::printf("  tollan.exe          median %8.2f ms\n", tollanMedian);
    std::printf("  cmd /c del /f /a    median %8.2f ms\n", cmdMedian);
    std::printf("  ratio tollan / cmd  %.3f (goal 1.0 or less)\n", tollanMedian / cmdMedian);
    TableRow("deleting a read-only file, tollan vs cmd /c del /f /a", tollanMedian, "ms", cmdMedian, "",
             "1.05 or less");
    return failures == 0 ? 0 : 1;
}
