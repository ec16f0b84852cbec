// The reading half of the registry-script engine: substitution, tokens, the
// section loop, the module path, and scripts loaded from this program's own
// resources. The DoubleByte tests run in a process with code page 932.
#include <gtest/gtest.h>

#include <string>

#include "errors.h"
#include "script_test_support.h"
#include "server_module.h"

namespace {

using namespace script_test;

// --- Substitution -----------------------------------------------------------

class Substitution : public ::testing::Test {
protected:
    ModuleScope module_;
};

TEST_F(Substitution, TwoPercentSignsMakeOneAnywhere)
{
    EXPECT_EQ("a%b '%' % %%", Expand("a%%b '%%' %% %%%%").text);
    EXPECT_EQ("%", Expand("%%").text);
    EXPECT_EQ("", Expand("").text);
    EXPECT_EQ(S_OK, Expand("").result);
}

TEST_F(Substitution, ALonePercentSignOrAnUnclosedNameFails)
{
    for (const char* text : {"abc%", "%", "x %MODULE", "%%%"}) {
        const Expansion expansion = Expand(text, {{L"Module", L"m"}});
        EXPECT_EQ(DISP_E_EXCEPTION, expansion.result) << text;
        EXPECT_TRUE(expansion.outputNullOnFailure) << text;
    }
}

TEST_F(Substitution, NamesOf31BytesAreReadAndLongerNamesRefused)
{
    const std::string name31(31, 'N');
    const std::string name32(32, 'N');
    const Pairs pairs = {{std::wstring(31, L'N'), L"thirty-one"}, {std::wstring(32, L'N'), L"thirty-two"}};
    EXPECT_EQ("<thirty-one>", Expand("<%" + name31 + "%>", pairs).text);
    const Expansion tooLong = Expand("<%" + name32 + "%>", pairs);
    EXPECT_EQ(E_FAIL, tooLong.result);
    EXPECT_TRUE(tooLong.outputNullOnFailure);
    EXPECT_EQ(DISP_E_EXCEPTION, Expand("%Unknown%", pairs).result);
}

TEST_F(Substitution, NamesMatchIgnoringCaseAndTheFirstPairWins)
{
    const Pairs pairs = {{L"Module", L"first"}, {L"Other", L"o"}, {L"MODULE", L"second"}};
    EXPECT_EQ("first|first|first|o", Expand("%MODULE%|%module%|%MoDuLe%|%oTHER%", pairs).text);
    ReplacementMap map;
    ASSERT_EQ(S_OK, map.Create());
    ASSERT_EQ(S_OK, map.Add(L"Module", L"first"));
    ASSERT_EQ(S_OK, map.Add(L"module", L"second"));
    EXPECT_STREQ(L"first", map.Find("MODULE"));
    EXPECT_EQ(nullptr, map.Find("Modul"));
    map.Destroy();
}

TEST_F(Substitution, AValueGoesInOnceAndIsNeverScannedAgain)
{
    const Pairs pairs = {{L"A", L"%B% 100% '"}, {L"B", L"b"}};
    EXPECT_EQ("[%B% 100% ']", Expand("[%A%]", pairs).text);
    // Values far longer than the text grow the buffer as often as needed.
    const std::wstring wide(10000, L'v');
    const Expansion grown = Expand("%V%%V%x", {{L"V", wide}});
    EXPECT_EQ(std::string(20000, 'v') + "x", grown.text);
}

TEST_F(Substitution, TheMapGrowsByDoublingAndKeepsEveryPairInOrder)
{
    ReplacementMap map;
    ASSERT_EQ(S_OK, map.Create());
    EXPECT_EQ(10, map.capacity);
    for (int i = 0; i < 25; ++i)
        ASSERT_EQ(S_OK, map.Add((L"Name" + std::to_wstring(i)).c_str(), std::to_wstring(i).c_str()));
    EXPECT_EQ(25, map.count);
    EXPECT_EQ(40, map.capacity);
    for (int i = 0; i < 25; ++i)
        EXPECT_STREQ(std::to_wstring(i).c_str(), map.Find(("name" + std::to_string(i)).c_str()));
    ReplacementPair** array = map.pairs;
    EXPECT_EQ(S_OK, map.Clear());
    EXPECT_EQ(0, map.count);
    EXPECT_EQ(array, map.pairs);
    EXPECT_EQ(nullptr, map.Find("name0"));
    map.Destroy();
}

TEST(ModuleVariable, OnlyAPathWithABlankIsPutInDoubleQuotes)
{
    wchar_t value[64];
    ModuleVariableValue(value, L"C:\\Apps\\Kelmo7.exe");
    EXPECT_STREQ(L"C:\\Apps\\Kelmo7.exe", value);
    ModuleVariableValue(value, L"C:\\Program Files\\Kelmo7.exe");
    EXPECT_STREQ(L"\"C:\\Program Files\\Kelmo7.exe\"", value);
    ModuleVariableValue(value, L"C:\\it's here\\K.exe");
    EXPECT_STREQ(L"\"C:\\it''s here\\K.exe\"", value);
    ModuleVariableValue(value, L"");
    EXPECT_STREQ(L"", value);
}

TEST_F(Substitution, DoublingSingleQuotesWritesEveryQuoteTwice)
{
    wchar_t out[2 * 8 + 1];
    DoubleSingleQuotes(out, L"it's ''");
    EXPECT_STREQ(L"it''s ''''", out);
    DoubleSingleQuotes(out, L"''''''''");
    EXPECT_EQ(std::wstring(16, L'\''), out);
    DoubleSingleQuotes(out, L"");
    EXPECT_STREQ(L"", out);
}

// --- Tokens ---------------------------------------------------------------

TEST(Tokens, QuotesAreDroppedAndDoubledQuotesStandForOne)
{
    const TokenWalk walk = Tokens("'It''s' '' 'abc'def abc'def '''' '''''' ");
    EXPECT_EQ((std::vector<std::string>{"It's", "", "abc", "def", "abc'def", "'", "''"}), walk.tokens);
    EXPECT_EQ(DISP_E_EXCEPTION, walk.end);
    EXPECT_TRUE(IsClosingQuote("'"));
    EXPECT_TRUE(IsClosingQuote("'a"));
    EXPECT_FALSE(IsClosingQuote("''"));
    EXPECT_FALSE(IsClosingQuote("a'"));
}

TEST(Tokens, OnlyTabLineFeedCarriageReturnAndSpaceSeparate)
{
    // clang-format off
    const TokenWalk walk = Tokens(" \t\r\na\tb\nc\rd e\x0B" "f\xA0g\x01h\x7Fi");
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c", "d", "e\x0B" "f\xA0g\x01h\x7Fi"}), walk.tokens);
    // clang-format on
}

TEST(Tokens, TokensHoldAtMost4094Bytes)
{
    for (const bool quoted : {true, false}) {
        const std::string q = quoted ? "'" : "";
        const TokenWalk fits = Tokens(q + std::string(4094, 'a') + q + " next");
        ASSERT_EQ(2u, fits.tokens.size());
        EXPECT_EQ(std::string(4094, 'a'), fits.tokens[0]);
        EXPECT_EQ("next", fits.tokens[1]);
        const TokenWalk tooLong = Tokens(q + std::string(4095, 'a') + q);
        EXPECT_TRUE(tooLong.tokens.empty());
        EXPECT_EQ(DISP_E_EXCEPTION, tooLong.end);
    }
    // Doubled quotes count once.
    const TokenWalk doubled = Tokens("'" + std::string(4094 * 2, '\'') + "'");
    ASSERT_EQ(1u, doubled.tokens.size());
    EXPECT_EQ(std::string(4094, '\''), doubled.tokens[0]);
}

TEST(Tokens, TheTextMayNotEndInsideAQuotedToken)
{
    for (const char* text : {"'abc", "'", "'abc''", "ok 'It''s"}) {
        const TokenWalk walk = Tokens(text);
        EXPECT_EQ(DISP_E_EXCEPTION, walk.end) << text;
        EXPECT_EQ(std::string(text).rfind("ok", 0) == 0 ? 1u : 0u, walk.tokens.size()) << text;
    }
}

TEST(Tokens, AnEmptyScriptSucceedsAndBlanksAloneFail)
{
    ModuleScope module;
    EXPECT_EQ(S_OK, Register(""));
    EXPECT_EQ(S_OK, Unregister(""));
    EXPECT_EQ(DISP_E_EXCEPTION, Register(" \r\n\t "));
    EXPECT_EQ(DISP_E_EXCEPTION, Unregister("\n"));
}

// --- Sections ---------------------------------------------------------------

using Sections = ScriptOnRegistry;

TEST_F(Sections, RootKeysAreNamedInAnyCaseAndInTheirLongForms)
{
    const struct {
        const char* name;
        HKEY key;
    } rows[] = {
        // clang-format off
        {"HKCR", HKEY_CLASSES_ROOT},       {"hkcr", HKEY_CLASSES_ROOT},
        {"HkCu", HKEY_CURRENT_USER},       {"HKLM", HKEY_LOCAL_MACHINE},
        {"hku", HKEY_USERS},               {"HKPD", HKEY_PERFORMANCE_DATA},
        {"hkdd", HKEY_DYN_DATA},           {"HKCC", HKEY_CURRENT_CONFIG},
        // clang-format on
        {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {"hkey_current_user", HKEY_CURRENT_USER},
        {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {"Hkey_Users", HKEY_USERS},
        {"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
        {"HKEY_DYN_DATA", HKEY_DYN_DATA},
        {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.key, LookupRootKey(row.name)) << row.name;
    for (const char* name : {"HKEY_CLASSES", "HKCR ", "HKC", "", "HKEY_CURRENT_USERS"})
        EXPECT_EQ(nullptr, LookupRootKey(name)) << name;

    std::string script = Under(scratch_, "Long");
    script.replace(0, 4, "hkey_current_user");
    ASSERT_EQ(S_OK, Register(script));
    EXPECT_TRUE(Exists("Long"));
}

TEST_F(Sections, AnUnknownRootKeyOrAMissingBlockIsAScriptError)
{
    for (const char* text : {"HKEY_CLASSES { X }", "HKCU X", "HKCU", "HKCU }", "{ X }"})
        EXPECT_EQ(DISP_E_EXCEPTION, Register(text)) << text;
    std::string script = Under(scratch_, "X");
    EXPECT_EQ(DISP_E_EXCEPTION, Register(script.replace(0, 4, "HKEY_CLASSES")));
    EXPECT_FALSE(Exists("X"));
}

TEST_F(Sections, AFailedSectionLeavesEverySectionUnwritten)
{
    const std::string script =
        Under(scratch_, "First = s f") + Under(scratch_, "Second = s s Bad = q x") + Under(scratch_, "Third");
    EXPECT_EQ(DISP_E_EXCEPTION, Register(script));
    EXPECT_FALSE(Exists("First"));
    EXPECT_FALSE(Exists("Second"));
    EXPECT_FALSE(Exists("Bad"));
    EXPECT_FALSE(Exists("Third"));  // never run

    // Unregistering stops at the failure without undoing anything.
    Put("Third", nullptr, "t");
    EXPECT_EQ(DISP_E_EXCEPTION, Unregister(Under(scratch_, "First") + "HKBAD { }" + Under(scratch_, "Third")));
    EXPECT_FALSE(Exists("First"));
    EXPECT_TRUE(Exists("Third"));
}

// --- The module path ------------------------------------------------------

struct FakeShortPath {
    static std::string name;  // written when it fits
    static DWORD result;      // returned
    static int calls;
};
std::string FakeShortPath::name;
DWORD FakeShortPath::result;
int FakeShortPath::calls;

DWORD WINAPI FakeShortPathName(LPCSTR, LPSTR shortPath, DWORD size)
{
    ++FakeShortPath::calls;
    if (FakeShortPath::name.size() < size)
        lstrcpyA(shortPath, FakeShortPath::name.c_str());
    return FakeShortPath::result;
}

// The fake answers with name, as the platform would for a name that fits.
void FakeAnswers(const std::string& name)
{
    FakeShortPath::name = name;
    FakeShortPath::result = static_cast<DWORD>(name.size());
    FakeShortPath::calls = 0;
}

std::string OwnPath()
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

// A copy of this program in a folder of the given name beside it.
class ModuleCopy {
public:
    explicit ModuleCopy(const std::string& folderName)
    {
        const std::string own = OwnPath();
        folder_ = own.substr(0, own.rfind('\\') + 1) + folderName;
        path_ = folder_ + "\\copy.exe";
        CreateDirectoryA(folder_.c_str(), nullptr);
        copied_ = CopyFileA(own.c_str(), path_.c_str(), FALSE) != FALSE;
    }
    ~ModuleCopy()
    {
        DeleteFileA(path_.c_str());
        RemoveDirectoryA(folder_.c_str());
    }
    bool copied() const { return copied_; }
    const std::string& path() const { return path_; }

private:
    std::string folder_;
    std::string path_;
    bool copied_ = false;
};

constexpr WORD kModuleScript = 203;

class ModulePath : public ScriptOnRegistry {
protected:
    std::string Server() const { return Text("Server\\LocalServer32"); }
};

TEST_F(ModulePath, TheShortNameIsUsedOnlyForTheProcesssOwnExecutable)
{
    char path[kNameBufferSize];
    FakeAnswers("C:\\SHORT~1\\KELMO7.EXE");
    ASSERT_EQ(S_OK, FindModulePath({nullptr, FakeShortPathName}, path));
    EXPECT_STREQ("C:\\SHORT~1\\KELMO7.EXE", path);
    ASSERT_EQ(S_OK, FindModulePath({GetModuleHandleA(nullptr), FakeShortPathName}, path));
    EXPECT_STREQ("C:\\SHORT~1\\KELMO7.EXE", path);
    EXPECT_EQ(2, FakeShortPath::calls);

    HMODULE library = GetModuleHandleA("kernel32.dll");
    char longName[MAX_PATH];
    GetModuleFileNameA(library, longName, MAX_PATH);
    ASSERT_EQ(S_OK, FindModulePath({library, FakeShortPathName}, path));
    EXPECT_STREQ(longName, path);
    EXPECT_EQ(2, FakeShortPath::calls);

    // A failed short-name call keeps the long name; 259 characters still fit.
    FakeAnswers("");
    ASSERT_EQ(S_OK, FindModulePath({nullptr, FakeShortPathName}, path));
    EXPECT_EQ(OwnPath(), path);
    FakeAnswers("C:\\" + std::string(256, 'x'));
    ASSERT_EQ(S_OK, FindModulePath({nullptr, FakeShortPathName}, path));
    EXPECT_EQ(259u, std::string(path).size());
}

TEST_F(ModulePath, AShortNameOf260CharactersOrMoreIsOutOfMemory)
{
    for (DWORD length : {260u, 261u, 300u, 32768u}) {
        FakeAnswers(std::string(length, 's'));
        FakeShortPath::result = length + 1;  // the platform's size needed
        EXPECT_EQ(E_OUTOFMEMORY, ApplyResource({nullptr, FakeShortPathName}, kModuleScript, TRUE)) << length;
    }
    FakeAnswers(std::string(259, 's'));
    FakeShortPath::result = 260;  // the platform's "does not fit" for a 259-character name
    EXPECT_EQ(E_OUTOFMEMORY, ApplyResource({nullptr, FakeShortPathName}, kModuleScript, TRUE));
    EXPECT_FALSE(Exists("Server"));
}

TEST_F(ModulePath, ThePlatformsShortNameReachesTheRegistry)
{
    char shortName[MAX_PATH];
    ASSERT_NE(0u, GetShortPathNameA(OwnPath().c_str(), shortName, MAX_PATH));
    ASSERT_NE(OwnPath(), shortName) << "this test needs a program path that has a distinct short name";
    const std::wstring leaf = Leaf();
    const ScriptVariable pairs[] = {{L"Scratch", leaf.c_str()}, {nullptr, nullptr}};
    ASSERT_EQ(S_OK, ApplyScriptResource(&serverModule, kModuleScript, TRUE, pairs));
    EXPECT_EQ(shortName, Server());
    ASSERT_EQ(S_OK, ApplyScriptResource(&serverModule, kModuleScript, FALSE, pairs));
    EXPECT_FALSE(Exists("Server"));
    EXPECT_EQ(E_INVALIDARG, ApplyScriptResource(nullptr, kModuleScript, TRUE, pairs));
}

// The stand-in for GetShortPathNameA hands back the long name, as on a
// volume without short names; the script is still loaded from that file.
TEST_F(ModulePath, QuotesAndPercentSignsInThePathReachTheRegistryUnchanged)
{
    const ModuleCopy copy("it's%MODULE%100%%%-" + std::to_string(GetCurrentProcessId()));
    ASSERT_TRUE(copy.copied());
    FakeAnswers(copy.path());
    ASSERT_EQ(S_OK, ApplyResource({nullptr, FakeShortPathName}, kModuleScript, TRUE));
    EXPECT_EQ(copy.path(), Server());
    ASSERT_EQ(S_OK, ApplyResource({nullptr, FakeShortPathName}, kModuleScript, FALSE));
    EXPECT_FALSE(Exists("Server"));
}

TEST_F(ModulePath, APathWithABlankIsWrittenInDoubleQuotes)
{
    const ModuleCopy copy("it's %MODULE% 100% %%-" + std::to_string(GetCurrentProcessId()));
    ASSERT_TRUE(copy.copied());
    FakeAnswers(copy.path());
    ASSERT_EQ(S_OK, ApplyResource({nullptr, FakeShortPathName}, kModuleScript, TRUE));
    EXPECT_EQ("\"" + copy.path() + "\"", Server());
    ASSERT_EQ(S_OK, ApplyResource({nullptr, FakeShortPathName}, kModuleScript, FALSE));
    EXPECT_FALSE(Exists("Server"));
}

// --- Loading from this program's resources -------------------------------------

using Resources = ModulePath;

TEST_F(Resources, ScriptsWithAndWithoutZeroBytesAreReadToTheirEnd)
{
    // The unterminated script is followed directly by the next one's text.
    HRSRC found = FindResourceA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(200), "REGISTRY");
    ASSERT_NE(nullptr, found);
    const char* bytes = static_cast<const char*>(LoadResource(GetModuleHandleA(nullptr), found));
    const DWORD size = SizeofResource(GetModuleHandleA(nullptr), found);
    ASSERT_EQ('}', bytes[size - 1]);
    ASSERT_EQ('H', bytes[size]);

    const ModulePathSource self = {GetModuleHandleA(nullptr), GetShortPathNameA};
    ASSERT_EQ(S_OK, ApplyResource(self, 200, TRUE));
    ASSERT_EQ(S_OK, ApplyResource(self, 201, TRUE));
    ASSERT_EQ(S_OK, ApplyResource(self, 202, TRUE));
    EXPECT_EQ("no zero byte", Text("Unterminated"));
    EXPECT_EQ("one zero byte", Text("Terminated"));
    EXPECT_EQ("read", Text("BeforeZero"));
    EXPECT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER, "AfterZero"));
    for (WORD id : {200, 201, 202})
        EXPECT_EQ(S_OK, ApplyResource(self, id, FALSE)) << id;
    EXPECT_EQ(0u, Subkeys());
}

TEST_F(Resources, AMissingResourceGivesTheFoldedErrorAndChangesNothing)
{
    const ModulePathSource self = {GetModuleHandleA(nullptr), GetShortPathNameA};
    const HRESULT missing = FoldWin32Error(ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(missing, ApplyResource(self, 299, TRUE));
    EXPECT_EQ(missing, ApplyResource(self, 299, FALSE));
    EXPECT_EQ(missing, ApplyScriptResource(&serverModule, 299, TRUE, nullptr));
    EXPECT_EQ(0u, Subkeys());
    EXPECT_EQ(0u, Values());

    // A file that cannot be loaded gives its own folded error.
    FakeAnswers("C:\\no such folder\\no such file.exe");
    const HRESULT noFile = ApplyResource({nullptr, FakeShortPathName}, kModuleScript, TRUE);
    EXPECT_TRUE(FAILED(noFile));
    EXPECT_EQ(FACILITY_WIN32, HRESULT_FACILITY(noFile));
    EXPECT_EQ(0u, Subkeys());
}

TEST_F(Resources, FailingScriptsFromResourcesLeaveNothingBehind)
{
    const ModulePathSource self = {GetModuleHandleA(nullptr), GetShortPathNameA};
    EXPECT_EQ(DISP_E_EXCEPTION, ApplyResource(self, 204, TRUE));  // undefined variable
    EXPECT_EQ(DISP_E_EXCEPTION, ApplyResource(self, 205, TRUE));  // no such type letter
    EXPECT_EQ(0u, Subkeys());
}

TEST(LastError, AFailureWithoutAnErrorCodeIsNeverReportedAsSuccess)
{
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(E_FAIL, LastErrorResult());
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(static_cast<HRESULT>(0x80070716), LastErrorResult());
}

// --- Double-byte text (code page 932) --------------------------------------

class DoubleByte : public ModulePath {
protected:
    void SetUp() override { ASSERT_EQ(932u, GetACP()); }
};

// "\x83\x5C" is the katakana "so", whose trail byte is the backslash byte.
const char kSo[] = "\x83\x5C";

TEST_F(DoubleByte, AKeyNameWhoseTrailByteIsABackslashIsOneName)
{
    ASSERT_EQ(S_OK, RegisterBody(std::string(kSo) + " = s '" + kSo + "'"));
    HKEY key;
    const std::string path = Path();
    const std::wstring widePath(path.begin(), path.end());
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, (widePath + L"\\\u30BD").c_str(), 0, KEY_READ, &key));
    wchar_t value[16] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size));
    RegCloseKey(key);
    EXPECT_STREQ(L"\u30BD", value);
    EXPECT_EQ(1u, Subkeys());

    // A real backslash after it is still a path.
    EXPECT_EQ(DISP_E_EXCEPTION, RegisterBody(std::string("'") + kSo + "\\x'"));
    ASSERT_EQ(S_OK, UnregisterBody(kSo));
    EXPECT_EQ(0u, Subkeys());
}

TEST_F(DoubleByte, ACharacterBegunUnderTheLimitIsCopiedWhole)
{
    const TokenWalk fits = Tokens("'" + std::string(4093, 'a') + kSo + "' next");
    ASSERT_EQ(2u, fits.tokens.size());
    EXPECT_EQ(std::string(4093, 'a') + kSo, fits.tokens[0]);
    EXPECT_EQ(DISP_E_EXCEPTION, Tokens(std::string(4094, 'a') + kSo).end);
    // A trail byte is never taken for a quote, blank or percent sign of its own.
    const TokenWalk walk = Tokens(std::string("'") + kSo + "' \x83\x40x");
    EXPECT_EQ((std::vector<std::string>{kSo, "\x83\x40x"}), walk.tokens);
    // A lead byte at the very end takes nothing past the text with it, and a
    // token cannot end in half a character.
    EXPECT_EQ("abc\x83", Expand("abc\x83").text);
    const TokenWalk broken = Tokens("abc def\x83");
    EXPECT_EQ((std::vector<std::string>{"abc"}), broken.tokens);
    EXPECT_EQ(DISP_E_EXCEPTION, broken.end);
    EXPECT_EQ(DISP_E_EXCEPTION, Expand("%\x83").result);
    const std::string whole = Under(scratch_, "@@");
    EXPECT_EQ(DISP_E_EXCEPTION, Register(whole.substr(0, whole.find("@@")) + "\x83"));
    EXPECT_EQ(DISP_E_EXCEPTION, Register(whole.substr(0, whole.find("@@")) + "NoRemove \x83"));
    EXPECT_EQ(0u, Subkeys());
}

TEST_F(DoubleByte, ValuesAndNamesWithDoubleByteCharactersPassByteForByte)
{
    const Pairs pairs = {{L"\u30BD", L"\u30BD\u30D5\u30C8"}};
    EXPECT_EQ("<\x83\x5C\x83\x74\x83\x67>", Expand(std::string("<%") + kSo + "%>", pairs).text);

    // A module path as ApplyScriptResource hands it on: quotes doubled. (This
    // machine's Wine cannot create files with such names, so no real module.)
    const std::wstring path = L"C:\\\u30BD's %x% 100%\\Kelmo7.exe";
    std::wstring quoted(2 * path.size() + 1, L'\0');
    DoubleSingleQuotes(&quoted[0], path.c_str());
    quoted.resize(lstrlenW(quoted.c_str()));
    ASSERT_EQ(S_OK, RunText(Under(scratch_, "Server { LocalServer32 = s '%MODULE%' }"), TRUE, {{L"Module", quoted}}));
    HKEY key;
    const std::string server = Path("Server\\LocalServer32");
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, server.c_str(), 0, KEY_READ, &key));
    wchar_t value[64] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size));
    RegCloseKey(key);
    EXPECT_EQ(path, value);
}

}  // namespace
