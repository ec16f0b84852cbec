// A registration that fails, through the program's command line: whatever
// stood before the run (nothing, a working registration of the same file, one
// of another path), per machine and per user, the product's keys read exactly
// as they did. Each failing program is the shipped one with its class script
// broken at one place, or without its type library.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "guids.h"
#include "registry_snapshot.h"
#include "wine_test_support.h"

using namespace testing_support;

namespace {

const std::string kServer = WindowsPath(KELMO7_EXE);
const std::string kClassKey = "CLSID\\" + GuidText(CLSID_Kelmo);
const std::vector<std::string> kProductKeys = {
    kClassKey,         "AppID\\" + GuidText(APPID_Kelmo7),      "AppID\\Kelmo7.EXE",
    "Kelmo7_83.Kelmo", "TypeLib\\" + GuidText(LIBID_Kelmo7_83), "Interface\\" + GuidText(IID_IKelmo),
};
const std::string kClasses = "Software\\Classes\\";
constexpr DWORD kUndoJournalFull = 0x80070718;  // a tree too large to save before its deletion
constexpr DWORD kTooLargeToSave = (1u << 20) + 1;

enum class Before { Nothing, SameFile, OtherPath };

struct Case {
    const char* what;
    const char* program;
    std::vector<Before> before;
    bool tooLargeToSave;  // the class key holds a value larger than the undo may keep
    DWORD exitCode;
};

const std::vector<Before> kEveryStart = {Before::Nothing, Before::SameFile, Before::OtherPath};
const Case kCases[] = {
    {"root block, after the ProgID's block", KELMO7_MALFORMED_EXE, kEveryStart, false, 0x80020009},
    {"class block, after its ForceRemove", KELMO7_BROKEN_CLASS_BLOCK_EXE, kEveryStart, false, 0x80020009},
    {"the last item", KELMO7_BROKEN_LAST_ITEM_EXE, kEveryStart, false, 0x80020009},
    {"no type library", KELMO7_NO_TYPE_LIBRARY_EXE, kEveryStart, false, 0x80029C4A},
    {"a token over the limit", KELMO7_LONG_TOKEN_EXE, kEveryStart, false, 0x80020009},
    {"blocks nested too deep", KELMO7_DEEP_BLOCKS_EXE, kEveryStart, false, 0x80020009},
    {"a key name of 256 characters", KELMO7_LONG_KEY_NAME_EXE, kEveryStart, false, 0x80020009},
    {"a class key too large to save", KELMO7_EXE, {Before::SameFile, Before::OtherPath}, true, kUndoJournalFull},
};

const char* StartName(Before before)
{
    return before == Before::Nothing ? "nothing" : before == Before::SameFile ? "the same file" : "another path";
}

// The product's keys in both classes roots, and all of the user's classes.
std::string Export()
{
    std::string text;
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        for (const std::string& key : kProductKeys)
            text += "[" + key + "]\n" + Listing(Snapshot(root, kClasses + key));
    }
    return text + "[user's classes]\n" + Listing(Snapshot(HKEY_CURRENT_USER, "Software\\Classes"));
}

void Clean()
{
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        for (const std::string& key : kProductKeys)
            DeleteTree(root, kClasses + key);
    }
    DeleteTree(HKEY_LOCAL_MACHINE, kClasses + "Wow6432Node\\Interface\\" + GuidText(IID_IKelmo));
}

DWORD RunCommand(const std::string& commandLine)
{
    const ProcessResult result = RunProcess(commandLine, 60000);
    EXPECT_TRUE(result.finished) << commandLine;
    return result.exitCode;
}

bool PutLargeValue(HKEY classes)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(classes, (kClasses + kClassKey).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    const std::vector<BYTE> data(kTooLargeToSave, 0x5A);
    const LONG status = RegSetValueExA(key, "Large", 0, REG_BINARY, data.data(), static_cast<DWORD>(data.size()));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

class FailedRegistration : public ::testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
        folder_ = std::string(temp) + "kelmo7-failed-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(folder_.c_str(), nullptr);
        copy_ = folder_ + "\\Kelmo7.exe";
        // The platform makes the user's classes key on first use of the classes.
        HKEY classes = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &classes, nullptr));
        RegCloseKey(classes);
        Clean();
    }
    void TearDown() override
    {
        Clean();
        DeleteFileA(copy_.c_str());
        RemoveDirectoryA(folder_.c_str());
    }
    std::string folder_;
    std::string copy_;  // the failing program runs from here
};

TEST_F(FailedRegistration, LeavesTheProductsKeysAsItFoundThem)
{
    for (const Case& row : kCases) {
        for (const char* scope : {" /RegServer", " /RegServerPerUser"}) {
            const HKEY classes = std::string(scope) == " /RegServer" ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
            for (Before before : row.before) {
                const std::string where = std::string(row.what) + "," + scope + ", over " + StartName(before);
                Clean();
                ASSERT_TRUE(CopyFileA(kServer.c_str(), copy_.c_str(), FALSE)) << where;
                if (before == Before::SameFile) {
                    ASSERT_EQ(0u, RunCommand("\"" + copy_ + "\"" + scope)) << where;
                }
                if (before == Before::OtherPath) {
                    ASSERT_EQ(0u, RunCommand(kServer + scope)) << where;
                }
                if (row.tooLargeToSave) {
                    ASSERT_TRUE(PutLargeValue(classes)) << where;
                }
                ASSERT_TRUE(CopyFileA(WindowsPath(row.program).c_str(), copy_.c_str(), FALSE)) << where;
                const std::string found = Export();
                ASSERT_NE(before == Before::Nothing, found.find("LocalServer32") != std::string::npos) << where;

                EXPECT_EQ(row.exitCode, RunCommand("\"" + copy_ + "\"" + scope)) << where;
                EXPECT_EQ(found, Export()) << where;
            }
        }
    }
}

}  // namespace
