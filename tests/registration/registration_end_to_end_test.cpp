// The program's registration switches end to end under Wine: what /RegServer
// writes, what /UnregServer removes, per-user registration, and a class
// script that fails.
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
const std::string kAppIdKey = "AppID\\" + GuidText(APPID_Kelmo7);
const std::string kTypeLibKey = "TypeLib\\" + GuidText(LIBID_Kelmo7_83);
const std::string kInterfaceKey = "Interface\\" + GuidText(IID_IKelmo);
const std::string kMachineClasses = "Software\\Classes";

std::string ShortPath(const std::string& path)
{
    char buffer[MAX_PATH];
    const DWORD length = GetShortPathNameA(path.c_str(), buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(buffer, length) : path;
}

DWORD RunProgram(const std::string& program, const std::string& tail)
{
    const ProcessResult result = RunProcess(program + tail, 60000);
    EXPECT_TRUE(result.finished) << program << tail;
    return result.exitCode;
}

// The two tables of entries that registration writes, as they must stand.
RegistryTree ExpectedClassKey(const std::string& server)
{
    return {
        {"", {{"", Text("Kelmo Class")}, {"AppID", Text(GuidText(APPID_Kelmo7))}}},
        {"ProgID", {{"", Text("Kelmo7_83.Kelmo")}}},
        {"VersionIndependentProgID", {{"", Text("Kelmo7_83.Kelmo")}}},
        {"Programmable", {}},
        {"LocalServer32", {{"", Text(server)}}},
        {"TypeLib", {{"", Text(GuidText(LIBID_Kelmo7_83))}}},
    };
}
const RegistryTree kExpectedProgId = {
    {"", {{"", Text("Kelmo Class")}}},
    {"CLSID", {{"", Text(GuidText(CLSID_Kelmo))}}},
};
const RegistryTree kExpectedAppId = {{"", {{"", Text("Kelmo7")}}}};
const RegistryTree kExpectedExecutable = {{"", {{"AppID", Text(GuidText(APPID_Kelmo7))}}}};

bool Inside(const std::string& path, const std::string& key)
{
    return lstrcmpiA(path.substr(0, key.size()).c_str(), key.c_str()) == 0 &&
           (path.size() == key.size() || path[key.size()] == '\\');
}

// The 64-bit platform's RegisterTypeLib also records IKelmo for 32-bit
// clients, in the 32-bit view of the machine's classes, and UnRegisterTypeLib
// removes it again. Wine keeps that view in two places that are one key.
bool PlatformsThirtyTwoBitInterfaceRecord(const std::string& path, const std::string& classes)
{
    return Inside(path, classes + "Wow6432Node\\" + kInterfaceKey) ||
           Inside(path, "Wow6432Node\\Classes\\" + kInterfaceKey) ||
           Inside(path, "Classes\\Wow6432Node\\" + kInterfaceKey);
}

// The differences between two snapshots but for the platform's 32-bit record.
std::string DifferencesBesidesThirtyTwoBitRecord(RegistryTree before, RegistryTree after, const std::string& classes)
{
    for (RegistryTree* tree : {&before, &after}) {
        for (auto entry = tree->begin(); entry != tree->end();)
            entry = PlatformsThirtyTwoBitInterfaceRecord(entry->first, classes) ? tree->erase(entry) : ++entry;
    }
    return Differences(before, after);
}

class RegistrationSwitches : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean()
    {
        for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER}) {
            const std::string base = root == HKEY_CURRENT_USER ? "Software\\Classes\\" : "";
            for (const std::string& key : {kClassKey, kAppIdKey, std::string("AppID\\Kelmo7.EXE"),
                                           std::string("Kelmo7_83.Kelmo"), kTypeLibKey, kInterfaceKey})
                DeleteTree(root, base + key);
        }
    }
    static void ExpectRegisteredBelow(HKEY root, const std::string& classes)
    {
        const std::string prefix = classes.empty() ? "" : classes + "\\";
        EXPECT_EQ("", Differences(ExpectedClassKey(ShortPath(kServer)), Snapshot(root, prefix + kClassKey)));
        EXPECT_EQ("", Differences(kExpectedProgId, Snapshot(root, prefix + "Kelmo7_83.Kelmo")));
        EXPECT_EQ("", Differences(kExpectedAppId, Snapshot(root, prefix + kAppIdKey)));
        EXPECT_EQ("", Differences(kExpectedExecutable, Snapshot(root, prefix + "AppID\\Kelmo7.EXE")));
        // What the platform records for the type library and its interface.
        std::string path;
        EXPECT_TRUE(ReadString(root, prefix + kTypeLibKey + "\\1.0\\0\\" + kBuildPlatformKey, nullptr, &path));
        EXPECT_EQ(kServer, path);
        EXPECT_TRUE(KeyExists(root, prefix + kInterfaceKey + "\\ProxyStubClsid32"));
        std::string library;
        EXPECT_TRUE(ReadString(root, prefix + kInterfaceKey + "\\TypeLib", nullptr, &library));
        EXPECT_EQ(GuidText(LIBID_Kelmo7_83), library);
    }
    static void ExpectNothingBelow(HKEY root, const std::string& classes)
    {
        const std::string prefix = classes.empty() ? "" : classes + "\\";
        for (const std::string& key : {kClassKey, kAppIdKey, std::string("AppID\\Kelmo7.EXE"),
                                       std::string("Kelmo7_83.Kelmo"), kTypeLibKey, kInterfaceKey})
            EXPECT_FALSE(KeyExists(root, prefix + key)) << prefix + key;
    }
};

TEST_F(RegistrationSwitches, RegServerWritesExactlyTheTablesAndTheTypeLibrary)
{
    const RegistryTree before = Snapshot(HKEY_LOCAL_MACHINE, kMachineClasses);
    ASSERT_EQ(0u, RunProgram(kServer, " /RegServer"));
    const RegistryTree after = Snapshot(HKEY_LOCAL_MACHINE, kMachineClasses);
    ExpectRegisteredBelow(HKEY_CLASSES_ROOT, "");

    // Nothing else changed anywhere in the classes. The 32-bit view shows the
    // keys it shares with the 64-bit one (AppID, TypeLib) a second time.
    RegistryTree others = after;
    for (auto entry = others.begin(); entry != others.end();) {
        std::string key = entry->first;
        if (Inside(key, "Wow6432Node") && key.size() > std::string("Wow6432Node").size())
            key = key.substr(std::string("Wow6432Node\\").size());
        const bool ours = Inside(key, kClassKey) || Inside(key, kAppIdKey) || Inside(key, "AppID\\Kelmo7.EXE") ||
                          Inside(key, "Kelmo7_83.Kelmo") || Inside(key, kTypeLibKey) || Inside(key, kInterfaceKey);
        entry = ours ? others.erase(entry) : ++entry;
    }
    EXPECT_EQ("", DifferencesBesidesThirtyTwoBitRecord(before, others, ""));
    // Only the 64-bit platform keeps a 32-bit view of the classes, with a
    // record of IKelmo of its own; 32-bit Wine has the one view.
    bool thirtyTwoBitRecord = false;
    for (const auto& entry : after)
        thirtyTwoBitRecord = thirtyTwoBitRecord || PlatformsThirtyTwoBitInterfaceRecord(entry.first, "");
    EXPECT_EQ(kBuildSysKind == SYS_WIN64, thirtyTwoBitRecord);

    // Unregistration removes every entry and leaves the shared parents.
    ASSERT_EQ(0u, RunProgram(kServer, " /UnregServer"));
    ExpectNothingBelow(HKEY_CLASSES_ROOT, "");
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "AppID"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "CLSID"));
    EXPECT_EQ("", Differences(before, Snapshot(HKEY_LOCAL_MACHINE, kMachineClasses)));
}

TEST_F(RegistrationSwitches, ASecondRegistrationRebuildsTheClassKeyButKeepsForeignProgIdContent)
{
    ASSERT_EQ(0u, RunProgram(kServer, " /RegServer"));
    WriteString(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32", nullptr, "C:\\elsewhere.dll");
    WriteString(HKEY_CLASSES_ROOT, kClassKey, "Foreign", "value");
    WriteString(HKEY_CLASSES_ROOT, "Kelmo7_83.Kelmo\\CurVer", nullptr, "Kelmo7_83.Kelmo.2");
    WriteString(HKEY_CLASSES_ROOT, "Kelmo7_83.Kelmo", nullptr, "changed");
    ASSERT_EQ(0u, RunProgram(kServer, " /RegServer"));
    EXPECT_EQ("", Differences(ExpectedClassKey(ShortPath(kServer)), Snapshot(HKEY_CLASSES_ROOT, kClassKey)));
    std::string value;
    EXPECT_TRUE(ReadString(HKEY_CLASSES_ROOT, "Kelmo7_83.Kelmo\\CurVer", nullptr, &value));
    EXPECT_TRUE(ReadString(HKEY_CLASSES_ROOT, "Kelmo7_83.Kelmo", nullptr, &value));
    EXPECT_EQ("Kelmo Class", value);
    // The foreign subkey keeps its ProgID key when unregistering, too.
    ASSERT_EQ(0u, RunProgram(kServer, " /UnregServer"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "Kelmo7_83.Kelmo\\CurVer"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "Kelmo7_83.Kelmo\\CLSID"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
}

TEST_F(RegistrationSwitches, AnyLetterCaseAndBothSeparatorsWork)
{
    ASSERT_EQ(0u, RunProgram(kServer, " -regserver"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClassKey + "\\LocalServer32"));
    ASSERT_EQ(0u, RunProgram(kServer, " /UNREGSERVER"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
    ASSERT_EQ(0u, RunProgram("\"" + kServer + "\"", " /RegServer/UnregServer"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
}

TEST_F(RegistrationSwitches, ATrailingBlankMeansServingNotRegistering)
{
    // The test build whose first-lock deadline ends an unreached server soon.
    EXPECT_EQ(0u, RunProgram(WindowsPath(KELMO7_SHORT_DEADLINE_EXE), " /RegServer "));
    ExpectNothingBelow(HKEY_CLASSES_ROOT, "");
}

TEST_F(RegistrationSwitches, AMalformedClassScriptFailsAndLeavesNothingBehind)
{
    const RegistryTree before = Snapshot(HKEY_LOCAL_MACHINE, kMachineClasses);
    EXPECT_EQ(0x80020009u, RunProgram(WindowsPath(KELMO7_MALFORMED_EXE), " /RegServer"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "Kelmo7_83.Kelmo"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kTypeLibKey));
    // The AppID entries that the run wrote before the classes are taken back too.
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kAppIdKey));
    EXPECT_EQ("", Differences(before, Snapshot(HKEY_LOCAL_MACHINE, kMachineClasses)));
}

// Under Wine the redirection does not reach the 32-bit view that the
// platform's RegisterTypeLib writes beside its own record, so that record is
// the one thing allowed to appear machine-wide (and to stay there).
TEST_F(RegistrationSwitches, PerUserRegistrationStaysInTheUsersClasses)
{
    const RegistryTree machine = Snapshot(HKEY_LOCAL_MACHINE, "Software");
    ASSERT_EQ(0u, RunProgram(kServer, " /RegServerPerUser"));
    ExpectRegisteredBelow(HKEY_CURRENT_USER, "Software\\Classes");
    ExpectNothingBelow(HKEY_LOCAL_MACHINE, "Software\\Classes");
    EXPECT_EQ("", DifferencesBesidesThirtyTwoBitRecord(machine, Snapshot(HKEY_LOCAL_MACHINE, "Software"), "Classes\\"));

    ASSERT_EQ(0u, RunProgram(kServer, " -unregserverperuser"));
    ExpectNothingBelow(HKEY_CURRENT_USER, "Software\\Classes");
    EXPECT_EQ("", DifferencesBesidesThirtyTwoBitRecord(machine, Snapshot(HKEY_LOCAL_MACHINE, "Software"), "Classes\\"));
    DeleteTree(HKEY_LOCAL_MACHINE, "Software\\Classes\\Wow6432Node\\" + kInterfaceKey);
}

}  // namespace
