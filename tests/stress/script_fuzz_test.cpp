// Malformed registry scripts: seeded mutations of the shipped scripts and of
// scripts written from the grammar, each applied in the register pass and then
// in the unregister pass with every predefined root key redirected into a
// scratch key. The engine must not crash or hang, must write nothing outside
// the scratch key, must never remove a root key itself, and a failed
// registration must leave the roots as it found them.
//
// KELMO_FUZZ_CASES sets the number of cases, KELMO_FUZZ_SEED the seed,
// KELMO_FUZZ_ONLY runs the one case of that number and shows its text and
// what each pass left, KELMO_FUZZ_TRACE=1 names each case as it starts, and
// KELMO_FUZZ_CASE_LIMIT_MS sets how slow a case may be (5000 ms; under
// emulation, where times say nothing of the engine, more).
// A run of fewer than 300 cases is refused: the floors that show the checks
// were made are fractions of the cases run, and fewer cases make them chance.
#include <windows.h>
#include <oleauto.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "registry_snapshot.h"
#include "script_fuzz_cases.h"
#include "script_test_support.h"
#include "wine_test_support.h"

namespace {

using namespace script_fuzz;
using testing_support::NowMs;
using testing_support::RegistryTree;

constexpr uint64_t kDefaultCases = 5000;
constexpr uint64_t kFewestCases = 300;
constexpr uint64_t kDefaultSeed = 0x4B656C6D6F37ull;
constexpr uint64_t kCaseLimitMs = 5000;  // a slower case is a finding
constexpr ULONGLONG kHangMs = 60000;     // no case begun or ended for so long ends the run
const char kCaseFile[] = "script_fuzz_case.rgs";

uint64_t Setting(const char* name, uint64_t fallback)
{
    char text[64];
    const DWORD length = GetEnvironmentVariableA(name, text, sizeof(text));
    if (length == 0 || length >= sizeof(text))
        return fallback;
    return std::strtoull(text, nullptr, 0);
}

std::string Hex(uint64_t value, int digits)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string Hex(HRESULT hr) { return Hex(static_cast<uint32_t>(hr), 8); }

// The text with bytes outside printable ASCII escaped, cut to limit bytes.
std::string Show(const std::string& text, size_t limit = 600)
{
    std::string out;
    for (size_t i = 0; i < text.size() && i < limit; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char escaped[8];
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c < 0x20 || c >= 0x7F || c == '\\') {
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (text.size() > limit)
        out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

size_t CountIgnoringCase(const std::string& text, const char* word)
{
    const std::string lowered = [&] {
        std::string copy = text;
        for (char& c : copy) {
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        }
        return copy;
    }();
    size_t count = 0;
    for (size_t at = lowered.find(word); at != std::string::npos; at = lowered.find(word, at + 1))
        ++count;
    return count;
}

// --- Crashes and hangs name their case ------------------------------------------

// Shared with the watchdog thread, which does the reporting: a thread that
// has just overflowed its stack cannot.
struct RunningCase {
    std::atomic<bool> crashed{false};
    std::atomic<DWORD> exceptionCode{0};
    std::atomic<bool> stop{false};
    std::atomic<ULONGLONG> heartbeatMs{0};  // the start or end of the last case
    std::atomic<uint64_t> index{0};
    std::atomic<const std::string*> text{nullptr};
    uint64_t seed = 0;
};
RunningCase running;

// Names the case on the error stream, leaves its text in kCaseFile and ends
// the process.
void ReportRunningCaseAndExit(const char* what)
{
    std::fprintf(stderr, "\n*** %s in or after case %llu of seed 0x%llX (KELMO_FUZZ_ONLY=%llu); text in %s\n", what,
                 static_cast<unsigned long long>(running.index.load()), static_cast<unsigned long long>(running.seed),
                 static_cast<unsigned long long>(running.index.load()), kCaseFile);
    std::fflush(stderr);
    const std::string* text = running.text.load();
    HANDLE file = CreateFileA(kCaseFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        if (text != nullptr)
            WriteFile(file, text->data(), static_cast<DWORD>(text->size()), &written, nullptr);
        CloseHandle(file);
    }
    ExitProcess(3);
}

LONG WINAPI OnException(EXCEPTION_POINTERS* info)
{
    switch (info->ExceptionRecord->ExceptionCode) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_STACK_OVERFLOW:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case STATUS_STACK_BUFFER_OVERRUN:
        running.exceptionCode = info->ExceptionRecord->ExceptionCode;
        running.crashed = true;
        break;
    default:
        break;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

DWORD WINAPI Watch(void*)
{
    for (;;) {
        if (running.crashed) {
            char what[64];
            std::snprintf(what, sizeof(what), "exception 0x%08lX",
                          static_cast<unsigned long>(running.exceptionCode.load()));
            ReportRunningCaseAndExit(what);
        }
        if (GetTickCount64() - running.heartbeatMs > kHangMs)
            ReportRunningCaseAndExit("no progress for 60 s");
        if (running.stop)
            return 0;
        Sleep(50);
    }
}

class CaseGuard {
public:
    explicit CaseGuard(uint64_t seed)
    {
        running.seed = seed;
        running.heartbeatMs = GetTickCount64();
        handler_ = AddVectoredExceptionHandler(1, OnException);
        watcher_ = CreateThread(nullptr, 0, Watch, nullptr, 0, nullptr);
    }
    ~CaseGuard()
    {
        running.stop = true;
        if (watcher_ != nullptr) {
            WaitForSingleObject(watcher_, INFINITE);
            CloseHandle(watcher_);
        }
        if (handler_ != nullptr)
            RemoveVectoredExceptionHandler(handler_);
    }
    CaseGuard(const CaseGuard&) = delete;
    CaseGuard& operator=(const CaseGuard&) = delete;

    void Begin(uint64_t index, const std::string* text)
    {
        running.index = index;
        running.text = text;
        running.heartbeatMs = GetTickCount64();
    }
    void End()
    {
        running.text = nullptr;
        running.heartbeatMs = GetTickCount64();
    }

private:
    void* handler_ = nullptr;
    HANDLE watcher_ = nullptr;
};

// --- The predefined keys, redirected into the scratch key ----------------------

struct Contents {
    bool present = false;  // false once the key itself was deleted
    DWORD subkeys = 0;
    DWORD values = 0;
};

Contents Inspect(HKEY key)
{
    Contents contents;
    contents.present = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &contents.subkeys, nullptr, nullptr,
                                        &contents.values, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    return contents;
}

std::string ShowWide(const wchar_t* name, DWORD length)
{
    std::string out;
    for (DWORD i = 0; i < length && i < 80; ++i) {
        char escaped[12];
        if (name[i] >= 0x20 && name[i] < 0x7F && name[i] != '\\')
            out += static_cast<char>(name[i]);
        else {
            std::snprintf(escaped, sizeof(escaped), "\\u%04X", static_cast<unsigned>(name[i]));
            out += escaped;
        }
    }
    return length > 80 ? out + "... (" + std::to_string(length) + " characters)" : out;
}

// A few names of what a key holds, for a finding's message. The registry's
// own UTF-16 names are shown: the engine's ANSI names reach it converted.
std::string Listing(HKEY key)
{
    std::string out;
    wchar_t name[16384];
    for (DWORD i = 0; i < 5; ++i) {
        DWORD length = 16384;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        out += " key '" + ShowWide(name, length) + "'";
    }
    for (DWORD i = 0; i < 5; ++i) {
        DWORD length = 16384;
        if (RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        out += " value '" + ShowWide(name, length) + "'";
    }
    return out;
}

// The native key functions, which take counted names: a name that holds
// U+0000 (the platform's ANSI functions make one of a lone lead byte) can be
// opened only through them.
struct NativeKeys {
    using OpenKey = LONG(NTAPI*)(HANDLE* key, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes);
    using DeleteKey = LONG(NTAPI*)(HANDLE key);

    NativeKeys()
    {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        open = reinterpret_cast<OpenKey>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtOpenKey")));
        remove = reinterpret_cast<DeleteKey>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDeleteKey")));
    }
    OpenKey open;
    DeleteKey remove;
};

// Removes parent\name with everything below it; true when it is gone.
bool EraseTree(HKEY parent, const std::wstring& name)
{
    static const NativeKeys native;
    if (native.open == nullptr || native.remove == nullptr)
        return false;
    UNICODE_STRING counted;
    counted.Length = counted.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    counted.Buffer = const_cast<wchar_t*>(name.data());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE, parent, nullptr);
    HANDLE opened = nullptr;
    if (native.open(&opened, KEY_ALL_ACCESS, &attributes) < 0)
        return false;
    HKEY key = static_cast<HKEY>(opened);
    for (DWORD index = 0;;) {
        wchar_t child[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key, index, child, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        if (!EraseTree(key, std::wstring(child, length)))
            ++index;  // passed over, so that the loop ends
    }
    const bool erased = native.remove(opened) >= 0;
    RegCloseKey(key);
    return erased;
}

std::wstring Widened(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

class Mounts {
public:
    struct State {
        bool allPresent = true;
        bool allEmpty = true;  // of those present
        std::string detail;
    };

    explicit Mounts(HKEY scratch) : scratch_(scratch)
    {
        for (Mount& mount : mounts_)
            mount.redirected = Remount(mount);
    }
    // The redirections end before the scratch key is read or removed.
    ~Mounts()
    {
        for (Mount& mount : mounts_) {
            if (mount.redirected)
                RegOverridePredefKey(mount.predefined, nullptr);
            if (mount.key != nullptr) {
                RegCloseKey(mount.key);
                EraseTree(scratch_, Widened(mount.name));
            }
        }
    }
    Mounts(const Mounts&) = delete;
    Mounts& operator=(const Mounts&) = delete;

    bool Redirected(size_t i) const { return mounts_[i].redirected; }
    const char* Label(size_t i) const { return mounts_[i].label; }
    static constexpr size_t kCount = 7;

    // Every mount empty again: one that holds anything, or is gone, is
    // replaced by a fresh key of a new name.
    bool Reset()
    {
        bool ok = true;
        for (Mount& mount : mounts_) {
            if (!mount.redirected)
                continue;
            const Contents contents = Inspect(mount.key);
            if (!contents.present || contents.subkeys != 0 || contents.values != 0)
                ok = Remount(mount) && ok;
        }
        return ok;
    }

    State Look() const
    {
        State state;
        for (const Mount& mount : mounts_) {
            if (!mount.redirected)
                continue;
            const Contents contents = Inspect(mount.key);
            if (!contents.present) {
                state.allPresent = false;
                state.detail += std::string(" ") + mount.label + " removed;";
            } else if (contents.subkeys != 0 || contents.values != 0) {
                state.allEmpty = false;
                state.detail += std::string(" ") + mount.label + " holds" + Listing(mount.key) + ";";
            }
        }
        return state;
    }

private:
    struct Mount {
        HKEY predefined;
        const char* label;
        HKEY key;
        std::string name;
        bool redirected;
    };

    bool Remount(Mount& mount)
    {
        const std::string name = std::string(mount.label) + "." + std::to_string(generation_++);
        HKEY fresh = nullptr;
        if (RegCreateKeyExA(scratch_, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &fresh, nullptr) !=
            ERROR_SUCCESS)
            return false;
        if (RegOverridePredefKey(mount.predefined, fresh) != ERROR_SUCCESS) {
            RegCloseKey(fresh);
            EraseTree(scratch_, Widened(name));
            return false;
        }
        if (mount.key != nullptr) {
            RegCloseKey(mount.key);
            EraseTree(scratch_, Widened(mount.name));
        }
        mount.key = fresh;
        mount.name = name;
        return true;
    }

    HKEY scratch_;
    unsigned generation_ = 0;
    Mount mounts_[kCount] = {
        {HKEY_CLASSES_ROOT, "HKCR", nullptr, "", false},     {HKEY_CURRENT_USER, "HKCU", nullptr, "", false},
        {HKEY_LOCAL_MACHINE, "HKLM", nullptr, "", false},    {HKEY_USERS, "HKU", nullptr, "", false},
        {HKEY_PERFORMANCE_DATA, "HKPD", nullptr, "", false}, {HKEY_CURRENT_CONFIG, "HKCC", nullptr, "", false},
        {HKEY_DYN_DATA, "HKDD", nullptr, "", false},
    };
};

// The names by which a script reaches each mount, for cases that would
// reach a root key the platform would not redirect.
const char* const kRootSpellings[Mounts::kCount][2] = {
    {"hkcr", "hkey_classes_root"}, {"hkcu", "hkey_current_user"},     {"hklm", "hkey_local_machine"},
    {"hku", "hkey_users"},         {"hkpd", "hkey_performance_data"}, {"hkcc", "hkey_current_config"},
    {"hkdd", "hkey_dyn_data"},
};

// --- The run -------------------------------------------------------------------

std::vector<ShippedScript> ReadShippedScripts()
{
    std::vector<ShippedScript> scripts;
    for (const char* name : {"appid.rgs", "class.rgs"}) {
        std::ifstream in(testing_support::WindowsPath(std::string(KELMO_SCRIPT_FOLDER) + "/" + name), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        scripts.push_back({name, text.str()});
    }
    return scripts;
}

RegistryTree Outside(RegistryTree tree, const std::string& excluded)
{
    for (auto entry = tree.begin(); entry != tree.end();) {
        const std::string& path = entry->first;
        const bool inside = lstrcmpiA(path.c_str(), excluded.c_str()) == 0 ||
                            (path.size() > excluded.size() && path[excluded.size()] == '\\' &&
                             lstrcmpiA(path.substr(0, excluded.size()).c_str(), excluded.c_str()) == 0);
        entry = inside ? tree.erase(entry) : ++entry;
    }
    return tree;
}

// The names of the keys and values right below each predefined key that has
// any: a script that got past the redirection would add one there, unless it
// named a key that exists, which below Software the snapshots see.
std::string TopLevel()
{
    const std::pair<HKEY, const char*> roots[] = {{HKEY_CURRENT_USER, "HKCU"},
                                                  {HKEY_LOCAL_MACHINE, "HKLM"},
                                                  {HKEY_USERS, "HKU"},
                                                  {HKEY_CURRENT_CONFIG, "HKCC"},
                                                  {HKEY_DYN_DATA, "HKDD"}};
    std::string out;
    wchar_t name[16384];
    for (const auto& [root, label] : roots) {
        for (DWORD i = 0;; ++i) {
            DWORD length = 16384;
            if (RegEnumKeyExW(root, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            out += std::string(label) + " key " + ShowWide(name, length) + "\n";
        }
        for (DWORD i = 0;; ++i) {
            DWORD length = 16384;
            if (RegEnumValueW(root, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            out += std::string(label) + " value " + ShowWide(name, length) + "\n";
        }
    }
    return out;
}

struct Finding {
    std::string kind;
    uint64_t index;
    std::string recipe;
    std::string text;
    std::string detail;
};

bool IsScriptResult(HRESULT hr) { return hr == S_OK || hr == DISP_E_EXCEPTION || hr == E_FAIL; }

TEST(ScriptFuzz, MalformedScriptsStayInsideTheirRootsAndRollBack)
{
    const uint64_t seed = Setting("KELMO_FUZZ_SEED", kDefaultSeed);
    const uint64_t only = Setting("KELMO_FUZZ_ONLY", MAXDWORD64);
    const uint64_t cases = only != MAXDWORD64 ? 1 : Setting("KELMO_FUZZ_CASES", kDefaultCases);
    const bool trace = Setting("KELMO_FUZZ_TRACE", 0) != 0;
    const double caseLimitMs = static_cast<double>(Setting("KELMO_FUZZ_CASE_LIMIT_MS", kCaseLimitMs));
    ASSERT_TRUE(only != MAXDWORD64 || cases >= kFewestCases) << cases << " cases are too few to show anything";
    const std::vector<ShippedScript> shipped = ReadShippedScripts();
    for (const ShippedScript& script : shipped)
        ASSERT_NE(std::string::npos, script.text.find("HKCR")) << script.name << " not read";
    // The generated scripts are written for code page 932; under another a
    // well-formed script may be refused rightly, and that check would be lost.
    ASSERT_EQ(932u, GetACP()) << "run it with LANG=ja_JP.UTF-8, as its CTest entry does";
    const script_test::Pairs pairs = {{L"Module", kModuleValue}};

    script_test::ModuleScope module;
    // Anything the platform loads on first use is loaded before the root keys move.
    ULONG number = 0;
    VarUI4FromStr(const_cast<OLECHAR*>(L"12"), 0, 0, &number);

    testing_support::ScratchKey scratch("ScriptFuzz");
    ASSERT_NE(nullptr, scratch.key());
    const std::string scratchBelowSoftware = scratch.path().substr(std::string("Software\\").size());
    const std::string topBefore = TopLevel();
    const RegistryTree machineBefore = testing_support::Snapshot(HKEY_LOCAL_MACHINE, "Software");
    const RegistryTree userBefore =
        Outside(testing_support::Snapshot(HKEY_CURRENT_USER, "Software"), scratchBelowSoftware);

    std::map<HRESULT, std::pair<uint64_t, uint64_t>> results;  // register, unregister
    std::vector<Finding> findings;
    uint64_t run = 0, skipped = 0, wellFormed = 0, fromShipped = 0, rollbackChecked = 0, cleanupChecked = 0;
    double slowestMs = 0, totalMs = 0;
    uint64_t slowest = 0;
    std::string redirectedRoots;
    const double started = NowMs();
    {
        CaseGuard guard(seed);
        Mounts mounts(scratch.key());
        for (size_t i = 0; i < Mounts::kCount; ++i)
            redirectedRoots += std::string(" ") + mounts.Label(i) + (mounts.Redirected(i) ? "" : "(not redirected)");

        for (uint64_t n = 0; n < cases; ++n) {
            const uint64_t index = only != MAXDWORD64 ? only : n;
            const FuzzCase fuzzCase = MakeCase(seed, index, shipped);
            if (only != MAXDWORD64) {
                std::printf("case %llu (%s):\n%s\n", static_cast<unsigned long long>(index), fuzzCase.recipe.c_str(),
                            Show(fuzzCase.text, 100000).c_str());
                std::fflush(stdout);
            }
            bool reachesUnredirected = false;
            for (size_t i = 0; i < Mounts::kCount; ++i) {
                for (const char* spelling : kRootSpellings[i])
                    reachesUnredirected = reachesUnredirected ||
                                          (!mounts.Redirected(i) && CountIgnoringCase(fuzzCase.text, spelling) > 0);
            }
            if (reachesUnredirected) {
                ++skipped;
                continue;
            }
            ASSERT_TRUE(mounts.Reset()) << "the redirected root keys cannot be emptied";

            auto finding = [&](const std::string& kind, const std::string& detail) {
                findings.push_back({kind, index, fuzzCase.recipe, fuzzCase.text, detail});
            };

            if (trace)
                std::fprintf(stderr, "case %llu\n", static_cast<unsigned long long>(index));
            guard.Begin(index, &fuzzCase.text);
            const double registerStart = NowMs();
            const HRESULT registered = script_test::RunText(fuzzCase.text, TRUE, pairs);
            const double registerMs = NowMs() - registerStart;
            const Mounts::State afterRegister = mounts.Look();
            const double unregisterStart = NowMs();
            const HRESULT unregistered = script_test::RunText(fuzzCase.text, FALSE, pairs);
            const double caseMs = registerMs + NowMs() - unregisterStart;
            guard.End();
            const Mounts::State afterUnregister = mounts.Look();
            if (only != MAXDWORD64)
                std::printf("register %s:%s\nunregister %s:%s\n", Hex(registered).c_str(), afterRegister.detail.c_str(),
                            Hex(unregistered).c_str(), afterUnregister.detail.c_str());

            ++run;
            ++results[registered].first;
            ++results[unregistered].second;
            wellFormed += fuzzCase.wellFormed ? 1 : 0;
            fromShipped += fuzzCase.recipe.rfind("grammar", 0) == 0 ? 0 : 1;
            totalMs += caseMs;
            if (caseMs > slowestMs) {
                slowestMs = caseMs;
                slowest = index;
            }

            // What a run must never do, whatever the text.
            if (!IsScriptResult(registered) || !IsScriptResult(unregistered))
                finding("a result other than S_OK, DISP_E_EXCEPTION or E_FAIL",
                        "register " + Hex(registered) + ", unregister " + Hex(unregistered));
            if (!afterRegister.allPresent)
                finding("a root key itself removed by the register pass", afterRegister.detail);
            if (!afterUnregister.allPresent)
                finding("a root key itself removed by the unregister pass", afterUnregister.detail);
            if (caseMs > caseLimitMs)
                finding("slower than the case limit", std::to_string(caseMs) + " ms");
            if (fuzzCase.wellFormed && (registered != S_OK || unregistered != S_OK))
                finding("a well-formed script refused",
                        "register " + Hex(registered) + ", unregister " + Hex(unregistered));

            // A failed register pass leaves the roots as it found them:
            // empty. The unregister pass empties them where the rules promise
            // it: one section (every root key name holds "HK", and the
            // generated names hold no "h" or "k"), no "NoRemove" (a quoted one
            // is still the keyword, so the text is searched), and no script
            // error that the unregister pass meets, which would stop it inside
            // the keys that enclose it.
            const bool oneSection = CountIgnoringCase(fuzzCase.text, "hk") <= 1;
            const bool removable =
                oneSection && CountIgnoringCase(fuzzCase.text, "noremove") == 0 && unregistered == S_OK;
            if (FAILED(registered)) {
                ++rollbackChecked;
                if (!afterRegister.allEmpty)
                    finding("a failed register pass not rolled back",
                            "register " + Hex(registered) + ";" + afterRegister.detail);
            }
            if (removable) {
                ++cleanupChecked;
                if (!afterUnregister.allEmpty)
                    finding("the unregister pass left what the script names", afterUnregister.detail);
            }
        }
    }
    const double elapsedMs = NowMs() - started;

    const RegistryTree machineAfter = testing_support::Snapshot(HKEY_LOCAL_MACHINE, "Software");
    const RegistryTree userAfter =
        Outside(testing_support::Snapshot(HKEY_CURRENT_USER, "Software"), scratchBelowSoftware);
    const std::string outside =
        testing_support::Differences(machineBefore, machineAfter) + testing_support::Differences(userBefore, userAfter);
    EXPECT_EQ(topBefore, TopLevel()) << "written right below a predefined key";

    std::printf(
        "script fuzz: seed %s, %llu cases run (%llu from the shipped scripts, %llu well-formed), "
        "%llu skipped, code page %u\n",
        Hex(seed, 1).c_str(), static_cast<unsigned long long>(run), static_cast<unsigned long long>(fromShipped),
        static_cast<unsigned long long>(wellFormed), static_cast<unsigned long long>(skipped), GetACP());
    std::printf("root keys redirected:%s\n", redirectedRoots.c_str());
    std::printf("time: %.1f s in all, %.1f s in the engine, %.0f cases/s; slowest case %llu: %.1f ms\n",
                elapsedMs / 1000, totalMs / 1000, run * 1000.0 / elapsedMs, static_cast<unsigned long long>(slowest),
                slowestMs);
    std::printf("%-12s %10s %10s\n", "HRESULT", "register", "unregister");
    for (const auto& [hr, counts] : results)
        std::printf("%-12s %10llu %10llu\n", Hex(hr).c_str(), static_cast<unsigned long long>(counts.first),
                    static_cast<unsigned long long>(counts.second));
    std::printf("roll-back checked on %llu failed registrations, clean-up on %llu cases\n",
                static_cast<unsigned long long>(rollbackChecked), static_cast<unsigned long long>(cleanupChecked));
    std::map<std::string, uint64_t> kinds;
    for (const Finding& f : findings)
        ++kinds[f.kind];
    std::printf("findings: %llu\n", static_cast<unsigned long long>(findings.size()));
    for (const auto& [kind, count] : kinds)
        std::printf("%10llu  %s\n", static_cast<unsigned long long>(count), kind.c_str());
    for (size_t i = 0; i < findings.size() && i < 20; ++i) {
        const Finding& f = findings[i];
        std::printf("  [%llu] %s:%s\n    recipe:%s\n    text: %s\n", static_cast<unsigned long long>(f.index),
                    f.kind.c_str(), f.detail.c_str(), f.recipe.c_str(), Show(f.text).c_str());
    }
    std::fflush(stdout);

    EXPECT_TRUE(findings.empty());
    EXPECT_EQ("", outside) << "written outside the scratch key";
    if (only == MAXDWORD64) {
        // Checks that were never made would prove nothing. A quarter of the
        // cases start from the shipped scripts; they are skipped when their
        // root key could not be redirected.
        EXPECT_GT(rollbackChecked, run / 100);
        EXPECT_GT(cleanupChecked, run / 20);
        EXPECT_GT(wellFormed, run / 50);
        EXPECT_GT(fromShipped, run / 8);
        EXPECT_LE(skipped * 10, cases) << "root keys redirected:" << redirectedRoots;
    }
}

}  // namespace
