// Registering and unregistering twice in a row, machine-wide and per user,
// leaves the registry exactly as it was, but for the shared parent keys that
// may stay behind empty.
#include <gtest/gtest.h>

#include <string>

#include "guids.h"
#include "registry_snapshot.h"
#include "wine_test_support.h"

using namespace testing_support;

namespace {

const std::string kServer = WindowsPath(KELMO7_EXE);

// Drops from after the empty shared parents that before lacked: AppID,
// CLSID, TypeLib and Interface, and the user's Classes key that holds them
// (Windows always has it; a fresh Wine prefix does not).
RegistryTree WithoutNewEmptyParents(const RegistryTree& before, RegistryTree after, const std::string& classes)
{
    const std::string root = classes.substr(0, classes.size() - 1);
    for (const std::string& key :
         {classes + "AppID", classes + "CLSID", classes + "TypeLib", classes + "Interface", root}) {
        auto found = after.find(key);
        const bool hasChildren = key == root && after.lower_bound(root + "\\") != after.end() &&
                                 after.lower_bound(root + "\\")->first.rfind(root + "\\", 0) == 0;
        if (found != after.end() && found->second.empty() && !hasChildren && before.find(key) == before.end())
            after.erase(found);
    }
    return after;
}

// Under Wine the per-user redirection does not reach the 32-bit view in which
// the platform's RegisterTypeLib records IKelmo; that record is left out.
RegistryTree WithoutThirtyTwoBitInterfaceRecord(RegistryTree tree)
{
    const std::string record = "Interface\\" + GuidText(IID_IKelmo);
    for (auto entry = tree.begin(); entry != tree.end();) {
        const std::string& key = entry->first;
        const bool platforms = key.find("Wow6432Node") != std::string::npos && key.find(record) != std::string::npos;
        entry = platforms ? tree.erase(entry) : ++entry;
    }
    return tree;
}

// The user's software keys but for the scratch keys of tests that may run
// meanwhile.
RegistryTree UserSoftware()
{
    RegistryTree tree = Snapshot(HKEY_CURRENT_USER, "Software");
    const std::string scratch = kScratchParent;
    for (auto entry = tree.begin(); entry != tree.end();) {
        const std::string& key = entry->first;
        const bool scratchKey = lstrcmpiA(key.substr(0, scratch.size()).c_str(), scratch.c_str()) == 0 &&
                                (key.size() == scratch.size() || key[scratch.size()] == '\\');
        entry = scratchKey ? tree.erase(entry) : ++entry;
    }
    return tree;
}

// Whether each part of the registration is below root's Software\Classes, by
// one key of it: the class, its ProgID, both AppID entries and the type
// library. Checked after every run, so that a run that did nothing fails.
void ExpectRegistered(HKEY root, bool registered)
{
    for (const std::string& key : {"CLSID\\" + GuidText(CLSID_Kelmo) + "\\LocalServer32",
                                   std::string("Kelmo7_83.Kelmo\\CLSID"), "AppID\\" + GuidText(APPID_Kelmo7),
                                   std::string("AppID\\Kelmo7.EXE"), "TypeLib\\" + GuidText(LIBID_Kelmo7_83)})
        EXPECT_EQ(registered, KeyExists(root, "Software\\Classes\\" + key)) << key;
}

// One unregistration before the snapshots. The first process after one with
// another code page that loads Wine's fonts rewrites their settings for its
// own code page: were that the first registration, after a test that runs
// under code page 932, the rounds would seem to have changed the fonts.
void RunOnceBefore(const char* unregistration) { ASSERT_EQ(0u, RunProcess(kServer + unregistration).exitCode); }

TEST(RegistryHygiene, TwoRoundsMachineWideLeaveTheRegistryAsItWas)
{
    RunOnceBefore(" /UnregServer");
    const RegistryTree machine = Snapshot(HKEY_LOCAL_MACHINE, "Software");
    const RegistryTree user = UserSoftware();
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(0u, RunProcess(kServer + " /RegServer").exitCode);
        ExpectRegistered(HKEY_LOCAL_MACHINE, true);
        ASSERT_EQ(0u, RunProcess(kServer + " /UnregServer").exitCode);
        ExpectRegistered(HKEY_LOCAL_MACHINE, false);
    }
    EXPECT_EQ("", Differences(machine,
                              WithoutNewEmptyParents(machine, Snapshot(HKEY_LOCAL_MACHINE, "Software"), "Classes\\")));
    EXPECT_EQ("", Differences(user, UserSoftware()));
}

TEST(RegistryHygiene, TwoRoundsPerUserLeaveTheRegistryAsItWas)
{
    RunOnceBefore(" /UnregServerPerUser");
    const RegistryTree machine = WithoutThirtyTwoBitInterfaceRecord(Snapshot(HKEY_LOCAL_MACHINE, "Software"));
    const RegistryTree user = UserSoftware();
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(0u, RunProcess(kServer + " /RegServerPerUser").exitCode);
        ExpectRegistered(HKEY_CURRENT_USER, true);
        ASSERT_EQ(0u, RunProcess(kServer + " /UnregServerPerUser").exitCode);
        ExpectRegistered(HKEY_CURRENT_USER, false);
    }
    EXPECT_EQ("", Differences(machine, WithoutThirtyTwoBitInterfaceRecord(Snapshot(HKEY_LOCAL_MACHINE, "Software"))));
    EXPECT_EQ("", Differences(user, WithoutNewEmptyParents(user, UserSoftware(), "Classes\\")));
    DeleteTree(HKEY_LOCAL_MACHINE, "Software\\Classes\\Wow6432Node\\Interface\\" + GuidText(IID_IKelmo));
}

}  // namespace
