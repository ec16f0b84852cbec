// The registry-script engine's benchmark. Prints figures; asserts nothing.
//  1. A generated script of 10,000 keys (three levels deep, two values each)
//     registered and unregistered, side by side in one run with the
//     platform's "reg import" of the equivalent .reg file and "reg delete /f"
//     of its root; with the cost of each registry call the engine makes, to
//     show where the time goes.
//  2. Expansion plus tokenizing alone over a 1 MB script.
//  3. Peak memory of one run against the script's size, each size in a fresh
//     process (this program started again with --peak BYTES).
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "registrar/script_applier.h"
#include "registrar/script_reader.h"
#include "registrar/script_text.h"
#include "server_module.h"
#include "task_memory.h"
#include "wine_test_support.h"

namespace {

using testing_support::NowMs;

constexpr int kTops = 10;
constexpr int kMids = 10;
constexpr int kLeaves = 100;  // per mid: 10 x 10 x 100 = 10,000 keys at the third level
// Rounds per measure: 5, or the first argument (the smoke run of `make test` takes 1).
int roundCount = 5;
const wchar_t kModulePath[] = L"C:\\Program Files\\Dravix\\Kelmo7.exe";

std::string Number(int value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%0*d", digits, value);
    return text;
}

// The benchmark's own key below HKCU\Software, removed at the end.
std::string BenchKeyName() { return "KelmoBench-" + std::to_string(GetCurrentProcessId()); }

// The key tree as a script: Root\Tnn\Mnn\Lnnn, each L key with its default
// value and the named value Name. withVariable puts %MODULE% into Name.
std::string GenerateScript(const std::string& benchKey, int tops, bool withVariable, std::string* out)
{
    std::string& s = *out;
    s += "HKCU\r\n{\r\n\tNoRemove Software\r\n\t{\r\n\t\tNoRemove '" + benchKey +
         "'\r\n\t\t{\r\n\t\t\tRoot\r\n\t\t\t{\r\n";
    for (int t = 0; t < tops; ++t) {
        s += "\t\t\t\tT" + Number(t, 2) + "\r\n\t\t\t\t{\r\n";
        for (int m = 0; m < kMids; ++m) {
            s += "\t\t\t\t\tM" + Number(m % 100, 2) + "\r\n\t\t\t\t\t{\r\n";
            for (int l = 0; l < kLeaves; ++l) {
                const std::string id = Number(t, 2) + "." + Number(m, 2) + "." + Number(l, 3);
                s += "\t\t\t\t\t\tL" + Number(l, 3) + " = s 'Leaf value " + id + "'\r\n\t\t\t\t\t\t{\r\n";
                s += withVariable ? "\t\t\t\t\t\t\tval Name = s '%MODULE% " + id + "'\r\n"
                                  : "\t\t\t\t\t\t\tval Name = s 'Name text " + id + "'\r\n";
                s += "\t\t\t\t\t\t}\r\n";
            }
            s += "\t\t\t\t\t}\r\n";
        }
        s += "\t\t\t\t}\r\n";
    }
    s += "\t\t\t}\r\n\t\t}\r\n\t}\r\n}\r\n";
    return s;
}

// A script of at least the given size, in whole top-level keys.
std::string ScriptOfAbout(size_t bytes, const std::string& benchKey, bool withVariable)
{
    std::string one;
    GenerateScript(benchKey, 1, withVariable, &one);
    const int tops = static_cast<int>((bytes + one.size() - 1) / one.size());
    std::string script;
    script.reserve(one.size() * tops + 4096);
    GenerateScript(benchKey, tops, withVariable, &script);
    return script;
}

std::string GenerateRegFile(const std::string& benchKey)
{
    std::string s = "REGEDIT4\r\n\r\n";
    const std::string root = "HKEY_CURRENT_USER\\Software\\" + benchKey + "\\Root";
    for (int t = 0; t < kTops; ++t) {
        for (int m = 0; m < kMids; ++m) {
            for (int l = 0; l < kLeaves; ++l) {
                const std::string id = Number(t, 2) + "." + Number(m, 2) + "." + Number(l, 3);
                s += "[" + root + "\\T" + Number(t, 2) + "\\M" + Number(m, 2) + "\\L" + Number(l, 3) + "]\r\n";
                s += "@=\"Leaf value " + id + "\"\r\n\"Name\"=\"Name text " + id + "\"\r\n\r\n";
            }
        }
    }
    return s;
}

class Map {
public:
    Map()
    {
        map_.Create();
        map_.Add(L"Module", kModulePath);
    }
    ~Map() { map_.Destroy(); }
    ReplacementMap* get() { return &map_; }

private:
    ReplacementMap map_ = {};
};

HRESULT RunEngine(const std::string& script, BOOL registering)
{
    Map map;
    ScriptEngine engine = {nullptr, map.get(), 0};
    return RunScriptText(&engine, script.c_str(), registering);
}

double TimeMs(const std::function<void()>& work)
{
    const double start = NowMs();
    work();
    return NowMs() - start;
}

std::string OwnFolder()
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string own = path;
    return own.substr(0, own.rfind('\\') + 1);
}

// Starts commandLine with its output going to output and waits for it, for at
// most boundMs: one that runs out is ended and named, and gives MAXDWORD.
DWORD RunWithOutput(std::string commandLine, HANDLE output, DWORD boundMs)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION info = {};
    DWORD exitCode = MAXDWORD;
    if (CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        if (WaitForSingleObject(info.hProcess, boundMs) == WAIT_OBJECT_0) {
            GetExitCodeProcess(info.hProcess, &exitCode);
        } else {
            std::fprintf(stderr, "%s did not end within %lu s\n", commandLine.c_str(),
                         static_cast<unsigned long>(boundMs / 1000));
            TerminateProcess(info.hProcess, MAXDWORD);
            WaitForSingleObject(info.hProcess, 5000);
        }
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    return exitCode;
}

// Runs reg.exe with its output thrown away; true when it reports success.
bool RunReg(const std::string& arguments)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE sink = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    const DWORD exitCode = RunWithOutput("reg.exe " + arguments, sink, 60000);
    CloseHandle(sink);
    return exitCode == 0;
}

// Whether the whole tree is there: every key of the last level, with its values.
bool TreeIsComplete(const std::string& root)
{
    for (int t = 0; t < kTops; ++t) {
        for (int m = 0; m < kMids; ++m) {
            const std::string mid = root + "\\T" + Number(t, 2) + "\\M" + Number(m, 2);
            HKEY key;
            if (RegOpenKeyExA(HKEY_CURRENT_USER, mid.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
                return false;
            DWORD subkeys = 0;
            RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr);
            RegCloseKey(key);
            if (subkeys != kLeaves)
                return false;
        }
    }
    std::string value;
    const std::string last = root + "\\T09\\M09\\L099";
    return testing_support::ReadString(HKEY_CURRENT_USER, last, nullptr, &value) && value == "Leaf value 09.09.099" &&
           testing_support::ReadString(HKEY_CURRENT_USER, last, "Name", &value) && value == "Name text 09.09.099";
}

// The registry calls that the engine makes for the generated script, made
// directly, without reading any script: what the fixed call sequence costs.
HKEY ReplayRegisterKey(HKEY parent, const char* name, HKEY* held)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS &&
        RegOpenKeyExA(parent, name, 0, KEY_READ, &key) != ERROR_SUCCESS)
        RegCreateKeyExA(parent, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (*held != nullptr)
        RegCloseKey(*held);
    *held = key;
    return key;
}

void SetText(HKEY key, const char* name, const std::string& text)
{
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
}

void ReplayRegister(const std::string& benchKey)
{
    HKEY software = nullptr, bench = nullptr, root = nullptr;
    ReplayRegisterKey(HKEY_CURRENT_USER, "Software", &software);
    ReplayRegisterKey(software, benchKey.c_str(), &bench);
    ReplayRegisterKey(bench, "Root", &root);
    HKEY top = nullptr;
    for (int t = 0; t < kTops; ++t) {
        ReplayRegisterKey(root, ("T" + Number(t, 2)).c_str(), &top);
        HKEY mid = nullptr;
        for (int m = 0; m < kMids; ++m) {
            ReplayRegisterKey(top, ("M" + Number(m, 2)).c_str(), &mid);
            HKEY leaf = nullptr;
            for (int l = 0; l < kLeaves; ++l) {
                const std::string id = Number(t, 2) + "." + Number(m, 2) + "." + Number(l, 3);
                ReplayRegisterKey(mid, ("L" + Number(l, 3)).c_str(), &leaf);
                SetText(leaf, nullptr, "Leaf value " + id);
                SetText(leaf, "Name", "Name text " + id);
            }
            RegCloseKey(leaf);
        }
        RegCloseKey(mid);
    }
    RegCloseKey(top);
    RegCloseKey(root);
    RegCloseKey(bench);
    RegCloseKey(software);
}

bool ReplayHasSubkeys(HKEY key)
{
    DWORD subkeys = 0;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr);
    return subkeys > 0;
}

// One key item of the unregister pass; inner() replays its block.
void ReplayUnregisterKey(HKEY parent, const char* name, bool removal, const std::function<void(HKEY)>& inner)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, name, 0, KEY_READ | KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    DWORD values = 0;
    const bool subkeys = ReplayHasSubkeys(key);
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    inner(key);
    if (!subkeys && values == 0) {
        RegCloseKey(key);
    } else if (!ReplayHasSubkeys(key)) {
        RegCloseKey(key);
    } else {
        RegCloseKey(key);
        return;
    }
    if (removal)
        RegDeleteKeyA(parent, name);
}

void ReplayUnregister(const std::string& benchKey)
{
    ReplayUnregisterKey(HKEY_CURRENT_USER, "Software", false, [&](HKEY software) {
        ReplayUnregisterKey(software, benchKey.c_str(), false, [&](HKEY bench) {
            ReplayUnregisterKey(bench, "Root", true, [&](HKEY root) {
                for (int t = 0; t < kTops; ++t) {
                    ReplayUnregisterKey(root, ("T" + Number(t, 2)).c_str(), true, [&](HKEY top) {
                        for (int m = 0; m < kMids; ++m) {
                            ReplayUnregisterKey(top, ("M" + Number(m, 2)).c_str(), true, [&](HKEY mid) {
                                for (int l = 0; l < kLeaves; ++l) {
                                    ReplayUnregisterKey(mid, ("L" + Number(l, 3)).c_str(), true,
                                                        [](HKEY leaf) { RegDeleteValueA(leaf, "Name"); });
                                }
                            });
                        }
                    });
                }
            });
        });
    });
}

// Median microseconds of one call, over count calls.
double MicrosecondsPerCall(int count, const std::function<void(int)>& call)
{
    std::vector<double> runs;
    for (int r = 0; r < 3; ++r) {
        const double ms = TimeMs([&] {
            for (int i = 0; i < count; ++i)
                call(i);
        });
        runs.push_back(1000.0 * ms / count);
    }
    return Median(runs);
}

void WhereTheTimeGoes(const std::string& benchPath, const std::string& script, double engineRegisterMs,
                      double engineUnregisterMs)
{
    const int n = 2000;
    HKEY base;
    RegCreateKeyExA(HKEY_CURRENT_USER, (benchPath + "\\Calls").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &base,
                    nullptr);
    std::vector<HKEY> keys(n);
    auto name = [](int i) { return "K" + std::to_string(i); };
    const double openMissing = MicrosecondsPerCall(n, [&](int i) {
        HKEY key;
        RegOpenKeyExA(base, name(i).c_str(), 0, KEY_ALL_ACCESS, &key);
    });
    // clang-format off
    const double create = 1000.0 * TimeMs([&] {
        for (int i = 0; i < n; ++i)
            RegCreateKeyExA(base, name(i).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &keys[i], nullptr);
    }) / n;
    const double setValue = MicrosecondsPerCall(n, [&](int i) {
        RegSetValueExA(keys[i], "Name", 0, REG_SZ, reinterpret_cast<const BYTE*>("Name text 00.00.000"), 20);
    });
    const double close = 1000.0 * TimeMs([&] {
        for (int i = 0; i < n; ++i)
            RegCloseKey(keys[i]);
    }) / n;
    const double open = 1000.0 * TimeMs([&] {
        for (int i = 0; i < n; ++i)
            RegOpenKeyExA(base, name(i).c_str(), 0, KEY_READ | KEY_SET_VALUE, &keys[i]);
    }) / n;
    const double query = MicrosecondsPerCall(n, [&](int i) {
        DWORD subkeys, values;
        RegQueryInfoKeyA(keys[i], nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr);
    });
    const double deleteValue = 1000.0 * TimeMs([&] {
        for (int i = 0; i < n; ++i)
            RegDeleteValueA(keys[i], "Name");
    }) / n;
    for (HKEY key : keys)
        RegCloseKey(key);
    const double deleteKey = 1000.0 * TimeMs([&] {
        for (int i = 0; i < n; ++i)
            RegDeleteKeyA(base, name(i).c_str());
    }) / n;
    // clang-format on
    RegCloseKey(base);
    RegDeleteKeyA(HKEY_CURRENT_USER, (benchPath + "\\Calls").c_str());

    // The script only read: its root key is absent, so the unregister pass
    // walks the whole text without a registry call below it.
    std::string absent = script;
    absent.replace(absent.find("\t\t\tRoot\r\n"), 9, "\t\t\tNoSuchRoot\r\n");
    std::vector<double> reads;
    for (int r = 0; r < roundCount; ++r)
        reads.push_back(TimeMs([&] { RunEngine(absent, FALSE); }));
    const double readMs = Median(reads);

    const int leaves = kTops * kMids * kLeaves;
    const int inner = kTops + kTops * kMids + 1;
    std::printf("\nWhere the time goes (microseconds per call, %d calls each):\n", n);
    std::printf("  RegOpenKeyExA absent %.1f, present %.1f; RegCreateKeyExA %.1f; RegCloseKey %.1f\n", openMissing,
                open, create, close);
    std::printf("  RegSetValueExA %.1f; RegQueryInfoKeyA %.1f; RegDeleteValueA %.1f; RegDeleteKeyA %.1f\n", setValue,
                query, deleteValue, deleteKey);
    // Per key at the third level, as the two passes call them.
    const double registerCalls =
        leaves * (2 * openMissing + create + 2 * setValue + close) + inner * (2 * openMissing + create + close);
    const double unregisterCalls =
        leaves * (open + 3 * query + deleteValue + close + deleteKey) + inner * (open + 4 * query + close + deleteKey);
    std::printf("  register pass:   %d keys x (2 failed opens, create, 2 sets, close) = %.0f ms of %.0f ms\n", leaves,
                registerCalls / 1000.0, engineRegisterMs);
    std::
        printf("  unregister pass: %d keys x (open, 3 queries, value delete, close, key delete) = %.0f ms of %.0f ms\n",
               leaves, unregisterCalls / 1000.0, engineUnregisterMs);
    std::printf("  reading the whole script without registry calls (expansion, tokens, keywords): %.0f ms\n", readMs);
}

void RegistryComparison()
{
    const std::string benchKey = BenchKeyName();
    const std::string benchPath = "Software\\" + benchKey;
    const std::string rootPath = benchPath + "\\Root";
    testing_support::DeleteTree(HKEY_CURRENT_USER, benchPath);
    testing_support::WriteString(HKEY_CURRENT_USER, benchPath, nullptr, "benchmark");

    std::string script;
    GenerateScript(benchKey, kTops, false, &script);
    const std::string regFile = OwnFolder() + "script_engine_bench.reg";
    if (!WriteFileText(regFile, GenerateRegFile(benchKey))) {
        std::printf("cannot write %s\n", regFile.c_str());
        return;
    }
    std::printf(
        "Script: %d keys at the third level (%d x %d x %d), each with a default and a named value; "
        "%zu bytes\n",
        kTops * kMids * kLeaves, kTops, kMids, kLeaves, script.size());

    std::vector<double> engineRegister, engineUnregister, regImport, regDelete, regStart, replayRegister,
        replayUnregister;
    bool allGood = true;
    for (int r = 0; r < roundCount; ++r) {
        HRESULT hr = S_OK;
        engineRegister.push_back(TimeMs([&] { hr = RunEngine(script, TRUE); }));
        allGood = allGood && hr == S_OK && TreeIsComplete(rootPath);
        engineUnregister.push_back(TimeMs([&] { hr = RunEngine(script, FALSE); }));
        allGood = allGood && hr == S_OK && !testing_support::KeyExists(HKEY_CURRENT_USER, rootPath);

        bool ok = true;
        regImport.push_back(TimeMs([&] { ok = RunReg("import \"" + regFile + "\""); }));
        allGood = allGood && ok && TreeIsComplete(rootPath);
        regDelete.push_back(TimeMs([&] { ok = RunReg("delete \"HKCU\\" + rootPath + "\" /f"); }));
        allGood = allGood && ok && !testing_support::KeyExists(HKEY_CURRENT_USER, rootPath);
        regStart.push_back(TimeMs([&] { RunReg("query \"HKCU\\" + benchPath + "\""); }));

        replayRegister.push_back(TimeMs([&] { ReplayRegister(benchKey); }));
        allGood = allGood && TreeIsComplete(rootPath);
        replayUnregister.push_back(TimeMs([&] { ReplayUnregister(benchKey); }));
        allGood = allGood && !testing_support::KeyExists(HKEY_CURRENT_USER, rootPath);
    }
    const double er = Median(engineRegister), eu = Median(engineUnregister);
    const double ri = Median(regImport), rd = Median(regDelete), rs = Median(regStart);
    std::printf("Medians of %d rounds, side by side%s:\n", roundCount, allGood ? "" : " (SOME RUNS DID NOT CHECK OUT)");
    std::printf("  engine register   %8.1f ms   reg import    %8.1f ms   ratio %.2f  (goal <= 1.5)\n", er, ri, er / ri);
    std::printf("  engine unregister %8.1f ms   reg delete /f %8.1f ms   ratio %.2f  (goal <= 1.5)\n", eu, rd, eu / rd);
    std::printf("  (reg.exe start-up alone, \"reg query\" of one key: %.1f ms; ratios without it: %.2f and %.2f)\n", rs,
                er / (ri - rs), eu / (rd - rs));
    TableRow("registering 10,000 keys, script vs reg import", er, "ms", ri, "", "1.5 or less");
    TableRow("unregistering them, script vs reg delete /f", eu, "ms", rd, "", "1.5 or less");

    const double pr = Median(replayRegister), pu = Median(replayUnregister);
    std::printf(
        "  the engine's registry calls alone, made without a script: register %.1f ms (ratio %.2f to reg "
        "import), unregister %.1f ms (ratio %.2f to reg delete)\n",
        pr, pr / ri, pu, pu / rd);
    WhereTheTimeGoes(benchPath, script, er, eu);
    DeleteFileA(regFile.c_str());
    testing_support::DeleteTree(HKEY_CURRENT_USER, benchPath);
}

void Throughput()
{
    std::printf("\nExpansion plus tokenizing alone, over scripts of about 1 MB:\n");
    for (bool withVariable : {false, true}) {
        const std::string script = ScriptOfAbout(1000000, "KelmoBench", withVariable);
        std::vector<double> runs;
        size_t tokens = 0;
        for (int r = 0; r < roundCount; ++r) {
            Map map;
            ScriptEngine engine = {nullptr, map.get(), 0};
            runs.push_back(TimeMs([&] {
                char* expanded = nullptr;
                if (FAILED(ExpandVariables(&engine, script.c_str(), &expanded)))
                    return;
                char token[kTokenBufferSize];
                engine.position = expanded;
                tokens = 0;
                while (SUCCEEDED(ReadToken(&engine, token)))
                    ++tokens;
                TaskFree(expanded);
            }));
        }
        const double ms = Median(runs);
        std::printf("  %-26s %8zu bytes, %6zu tokens: %6.1f ms = %6.1f MB/s  (goal >= 50)\n",
                    withVariable ? "with %MODULE% in each key" : "without variables", script.size(), tokens, ms,
                    script.size() / 1e6 / (ms / 1000.0));
    }
}

PROCESS_MEMORY_COUNTERS MemoryCounters()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters;
}

// In a fresh process: how far one run that reads the script in the given
// file (its keys absent, so only read) raises the peak working set above
// what the process held before. The script is read into a buffer of its own
// size, so nothing before the run has pushed the peak higher.
int PeakChild(const char* scriptFile)
{
    HANDLE file = CreateFileA(scriptFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    const DWORD size = GetFileSize(file, nullptr);
    char* script = static_cast<char*>(VirtualAlloc(nullptr, size + 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD read = 0;
    const BOOL ok = ReadFile(file, script, size, &read, nullptr);
    CloseHandle(file);
    if (!ok || read != size)
        return 1;
    script[size] = '\0';
    serverModule.Setup(nullptr, GetModuleHandleA(nullptr));
    const PROCESS_MEMORY_COUNTERS before = MemoryCounters();
    HRESULT hr;
    {
        Map map;
        ScriptEngine engine = {nullptr, map.get(), 0};
        hr = RunScriptText(&engine, script, FALSE);
    }
    const PROCESS_MEMORY_COUNTERS after = MemoryCounters();
    std::printf("%lu %zu %zu %ld\n", static_cast<unsigned long>(size),
                static_cast<size_t>(after.PeakWorkingSetSize - before.WorkingSetSize),
                static_cast<size_t>(before.PeakWorkingSetSize - before.WorkingSetSize), static_cast<long>(hr));
    ServerModule::Teardown(&serverModule);
    VirtualFree(script, 0, MEM_RELEASE);
    return 0;
}

void PeakMemory()
{
    std::printf(
        "\nPeak memory of one run (rise of the peak working set above the working set before it, each\n"
        "script read in a fresh process; the keys are absent, so the run reads the whole text):\n");
    char own[MAX_PATH];
    GetModuleFileNameA(nullptr, own, MAX_PATH);
    const std::string scriptFile = OwnFolder() + "script_engine_bench.rgs";
    const std::string output = OwnFolder() + "script_engine_bench.peak";
    for (size_t megabytes : {1, 2, 4, 8, 16}) {
        if (!WriteFileText(scriptFile, ScriptOfAbout(megabytes * 1000000, "KelmoBenchAbsent", true)))
            continue;
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        HANDLE file = CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        RunWithOutput("\"" + std::string(own) + "\" --peak \"" + scriptFile + "\"", file, 300000);
        CloseHandle(file);
        unsigned long size = 0;
        size_t growth = 0, earlier = 0;
        long hr = -1;
        if (FILE* in = std::fopen(output.c_str(), "r")) {
            if (std::fscanf(in, "%lu %zu %zu %ld", &size, &growth, &earlier, &hr) != 4)
                size = 0;
            std::fclose(in);
        }
        if (size == 0) {
            std::printf("  %2zu MB: no figure\n", megabytes);
            continue;
        }
        std::printf("  script %9lu bytes: peak rises by %9zu bytes = %.2f x the script%s%s\n", size, growth,
                    static_cast<double>(growth) / size, hr == S_OK ? "" : " (run failed)",
                    earlier > growth ? " (an earlier peak hid part of it)" : "");
    }
    DeleteFileA(scriptFile.c_str());
    DeleteFileA(output.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--peak") == 0)
        return PeakChild(argv[2]);
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 2)
        roundCount = std::max(1, std::atoi(argv[1]));
    serverModule.Setup(nullptr, GetModuleHandleA(nullptr));
    RegistryComparison();
    Throughput();
    ServerModule::Teardown(&serverModule);
    PeakMemory();
    return 0;
}
