// Registration of classes and type libraries, in process: which rows are
// handled, component categories, and how the type library is found,
// registered and unregistered.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "class_table.h"
#include "guids.h"
#include "registrar/registration.h"
#include "registrar/script_reader.h"
#include "registrar/script_text.h"
#include "registry_snapshot.h"
#include "server_module.h"
#include "wine_test_support.h"

using namespace testing_support;

namespace {

const CLSID classA = {0x7A11C0DE, 0x0001, 0x4000, {0x80, 1, 2, 3, 4, 5, 6, 7}};
const CLSID classB = {0x7A11C0DE, 0x0002, 0x4000, {0x80, 1, 2, 3, 4, 5, 6, 7}};
const CLSID classC = {0x7A11C0DE, 0x0003, 0x4000, {0x80, 1, 2, 3, 4, 5, 6, 7}};
const CATID implemented = {0x7A11CA70, 0x0001, 0x4000, {0x80, 1, 2, 3, 4, 5, 6, 7}};
const CATID required = {0x7A11CA70, 0x0002, 0x4000, {0x80, 1, 2, 3, 4, 5, 6, 7}};

std::vector<std::string> scriptCalls;
HRESULT scriptResult = S_OK;
// When set, class A's script is this text, run through the engine.
std::string scriptTextA;
HRESULT RunRealScript(BOOL registering)
{
    ReplacementMap map;
    HRESULT hr = map.Create();
    ScriptEngine engine = {nullptr, &map, 0};
    if (SUCCEEDED(hr))
        hr = RunScriptText(&engine, scriptTextA.c_str(), registering);
    map.Destroy();
    return hr;
}
HRESULT ScriptA(BOOL registering)
{
    scriptCalls.push_back(registering ? "+A" : "-A");
    return scriptTextA.empty() ? scriptResult : RunRealScript(registering);
}
HRESULT ScriptB(BOOL registering) { return scriptCalls.push_back(registering ? "+B" : "-B"), scriptResult; }
HRESULT ScriptC(BOOL registering) { return scriptCalls.push_back(registering ? "+C" : "-C"), scriptResult; }
const char* Described() { return "a class registered by someone else"; }
const CategoryEntry kCategories[] = {{1, &implemented}, {2, &required}, {0, nullptr}};
const CategoryEntry* Categories() { return kCategories; }

ClassEntry testTable[] = {
    {&classA, ScriptA, nullptr, nullptr, nullptr, 0, NoDescription, NoCategories, IgnoreModuleEvent},
    {&classB, ScriptB, nullptr, nullptr, nullptr, 0, Described, NoCategories, IgnoreModuleEvent},
    {&classC, ScriptC, nullptr, nullptr, nullptr, 0, nullptr, Categories, IgnoreModuleEvent},
    {},
};

class Registration : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitialize(nullptr);
        serverModule.Setup(testTable, GetModuleHandleA(nullptr));
        scriptCalls.clear();
        scriptResult = S_OK;
        scriptTextA.clear();
    }
    void TearDown() override
    {
        ServerModule::Teardown(&serverModule);
        for (const CLSID* id : {&classA, &classB, &classC})
            DeleteTree(HKEY_CLASSES_ROOT, "CLSID\\" + GuidText(*id));
        CoUninitialize();
    }
};

TEST_F(Registration, RowsAreSelectedByClassIdOrByHavingNoDescription)
{
    EXPECT_EQ(S_OK, ServerModule::RegisterAll(&serverModule, FALSE, nullptr));
    EXPECT_EQ((std::vector<std::string>{"+A", "+C"}), scriptCalls);
    scriptCalls.clear();
    EXPECT_EQ(S_OK, ServerModule::UnregisterAll(&serverModule, FALSE, nullptr));
    EXPECT_EQ((std::vector<std::string>{"-A", "-C"}), scriptCalls);

    // A class id selects its row even when the row has a description.
    scriptCalls.clear();
    EXPECT_EQ(S_OK, ServerModule::RegisterAll(&serverModule, FALSE, &classB));
    EXPECT_EQ(S_OK, ServerModule::UnregisterAll(&serverModule, FALSE, &classB));
    EXPECT_EQ((std::vector<std::string>{"+B", "-B"}), scriptCalls);

    scriptCalls.clear();
    const CLSID nobody = {0x12345678, 0, 0, {0}};
    EXPECT_EQ(S_OK, ServerModule::RegisterAll(&serverModule, FALSE, &nobody));
    EXPECT_TRUE(scriptCalls.empty());

    EXPECT_EQ(E_INVALIDARG, ServerModule::RegisterAll(nullptr, FALSE, nullptr));
    EXPECT_EQ(E_INVALIDARG, ServerModule::UnregisterAll(nullptr, FALSE, nullptr));
}

TEST_F(Registration, AFailingClassStopsRegistrationButNotUnregistration)
{
    scriptResult = DISP_E_EXCEPTION;
    EXPECT_EQ(DISP_E_EXCEPTION, ServerModule::RegisterAll(&serverModule, FALSE, nullptr));
    EXPECT_EQ((std::vector<std::string>{"+A"}), scriptCalls);
    scriptCalls.clear();
    EXPECT_EQ(S_OK, ServerModule::UnregisterAll(&serverModule, FALSE, nullptr));
    EXPECT_EQ((std::vector<std::string>{"-A", "-C"}), scriptCalls);
}

HRESULT AppIdScript(BOOL registering) { return scriptCalls.push_back(registering ? "+AppID" : "-AppID"), S_OK; }

// A registration that fails in its last step, the type library (this test
// program carries none), puts back what its scripts and categories changed,
// over a registration from before, and unregisters nothing.
TEST_F(Registration, AFailedRegistrationPutsBackWhatTheWholeRunChanged)
{
    const std::string keyA = "CLSID\\" + GuidText(classA);
    const std::string keyC = "CLSID\\" + GuidText(classC);
    ASSERT_TRUE(WriteString(HKEY_CLASSES_ROOT, keyA + "\\LocalServer32", nullptr, "C:\\Old\\Kelmo7.exe"));
    ASSERT_TRUE(WriteString(HKEY_CLASSES_ROOT, keyA, "Foreign", "kept"));
    ASSERT_TRUE(WriteString(HKEY_CLASSES_ROOT, keyC + "\\Implemented Categories\\" + GuidText(required), nullptr, ""));
    const std::string foundA = Listing(Snapshot(HKEY_CLASSES_ROOT, keyA));
    const std::string foundC = Listing(Snapshot(HKEY_CLASSES_ROOT, keyC));
    scriptTextA = "HKCR { NoRemove CLSID { ForceRemove " + GuidText(classA) +
                  " = s 'A' { LocalServer32 = s 'C:\\New\\Kelmo7.exe' Extra { Deeper } } } }";

    EXPECT_TRUE(FAILED(ServerModule::RegisterServer(&serverModule, AppIdScript)));
    EXPECT_EQ((std::vector<std::string>{"+AppID", "+A", "+C"}), scriptCalls);
    EXPECT_EQ(foundA, Listing(Snapshot(HKEY_CLASSES_ROOT, keyA)));
    EXPECT_EQ(foundC, Listing(Snapshot(HKEY_CLASSES_ROOT, keyC)));

    // Without the type library step the same run succeeds and keeps its writes.
    EXPECT_EQ(S_OK, ServerModule::RegisterAll(&serverModule, FALSE, nullptr));
    std::string server;
    EXPECT_TRUE(ReadString(HKEY_CLASSES_ROOT, keyA + "\\LocalServer32", nullptr, &server));
    EXPECT_EQ("C:\\New\\Kelmo7.exe", server);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, keyC + "\\Implemented Categories\\" + GuidText(implemented)));
}

TEST_F(Registration, CategoriesAreRecordedAndRemoved)
{
    const std::string classKey = "CLSID\\" + GuidText(classC);
    ASSERT_EQ(S_OK, ServerModule::RegisterAll(&serverModule, FALSE, &classC));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, classKey + "\\Implemented Categories\\" + GuidText(implemented)));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, classKey + "\\Required Categories\\" + GuidText(required)));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, classKey + "\\Implemented Categories\\" + GuidText(required)));

    EXPECT_EQ(S_OK, ServerModule::UnregisterAll(&serverModule, FALSE, &classC));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, classKey + "\\Implemented Categories\\" + GuidText(implemented)));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, classKey + "\\Required Categories\\" + GuidText(required)));
    EXPECT_EQ(S_OK, ApplyClassCategories(classC, nullptr, TRUE));
}

TEST(TypeLibraryNames, FallbackReplacesTheLastExtensionOfTheWholeName)
{
    const struct {
        const char* name;
        const char* fallback;
    } rows[] = {
        {"D:\\Apps\\Kelmo7.EXE", "D:\\Apps\\Kelmo7.tlb"},
        {"D:\\Apps\\Kelmo7", "D:\\Apps\\Kelmo7.tlb"},
        {"D:\\Tools\\r2.5\\Kelmo7", "D:\\Tools\\r2.tlb"},
        {"Kelmo7.a.b", "Kelmo7.a.tlb"},
        {"", ".tlb"},
    };
    for (const auto& row : rows) {
        char name[MAX_PATH];
        lstrcpyA(name, row.name);
        ASSERT_TRUE(TypeLibraryFallbackName(name, sizeof(name)));
        EXPECT_STREQ(row.fallback, name);
    }
    // A name whose fallback would not fit is left alone.
    char tight[8] = "abcd";
    EXPECT_FALSE(TypeLibraryFallbackName(tight, 8));
    EXPECT_STREQ("abcd", tight);
    char fits[9] = "abcd.e";
    EXPECT_TRUE(TypeLibraryFallbackName(fits, 9));
    EXPECT_STREQ("abcd.tlb", fits);
}

TEST(TypeLibraryNames, HelpDirectoryIsTheFolderWithItsSeparator)
{
    EXPECT_EQ(8, HelpDirectoryLength(L"D:\\Apps\\Kelmo7.EXE"));
    EXPECT_EQ(0, HelpDirectoryLength(L"Kelmo7.EXE"));
    EXPECT_EQ(2, HelpDirectoryLength(L"D:Kelmo7.EXE"));
    EXPECT_EQ(7, HelpDirectoryLength(L"a/b\\cd/x"));
    EXPECT_EQ(0, HelpDirectoryLength(L""));
}

// The build's own program, loaded as a module of this process, so that the module
// record's type-library instance names its file.
class ProgramTypeLibrary : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitialize(nullptr);
        program = LoadLibraryA(WindowsPath(KELMO7_EXE).c_str());
        ASSERT_NE(nullptr, program);
        serverModule.Setup(nullptr, program);
        UnRegisterTypeLib(LIBID_Kelmo7_83, 1, 0, 0, kBuildSysKind);
    }
    void TearDown() override
    {
        UnRegisterTypeLib(LIBID_Kelmo7_83, 1, 0, 0, kBuildSysKind);
        unregisterTypeLibLookup = {"oleaut32.dll", "UnRegisterTypeLib"};
        ServerModule::Teardown(&serverModule);
        FreeLibrary(program);
        CoUninitialize();
    }
    static bool Registered()
    {
        ITypeLib* library = nullptr;
        if (FAILED(LoadRegTypeLib(LIBID_Kelmo7_83, 1, 0, 0, &library)))
            return false;
        ITypeLib_Release(library);
        return true;
    }
    HMODULE program = nullptr;
};

TEST_F(ProgramTypeLibrary, IsFoundInTheProgramFileAndRegisteredWithItsFolderAsHelpDirectory)
{
    BSTR path = nullptr;
    ITypeLib* library = nullptr;
    ASSERT_EQ(S_OK, LocateTypeLibrary(&serverModule, nullptr, &path, &library));
    ASSERT_NE(nullptr, library);
    EXPECT_EQ(WindowsPath(KELMO7_EXE), std::string(path, path + SysStringLen(path)));
    ITypeLib_Release(library);
    SysFreeString(path);

    ASSERT_FALSE(Registered());
    ASSERT_EQ(S_OK, RegisterTypeLibrary(&serverModule, nullptr));
    EXPECT_TRUE(Registered());
    const std::string version = "TypeLib\\" + GuidText(LIBID_Kelmo7_83) + "\\1.0";
    std::string helpDirectory, platformPath;
    EXPECT_TRUE(ReadString(HKEY_CLASSES_ROOT, version + "\\HELPDIR", nullptr, &helpDirectory));
    const std::string exe = WindowsPath(KELMO7_EXE);
    EXPECT_EQ(exe.substr(0, exe.rfind('\\') + 1), helpDirectory);
    EXPECT_TRUE(ReadString(HKEY_CLASSES_ROOT, version + "\\0\\" + kBuildPlatformKey, nullptr, &platformPath));
    EXPECT_EQ(exe, platformPath);

    EXPECT_EQ(S_OK, UnregisterTypeLibrary(&serverModule, nullptr));
    EXPECT_FALSE(Registered());
}

TEST_F(ProgramTypeLibrary, UnregistrationWithoutUnRegisterTypeLibStillSucceeds)
{
    ASSERT_EQ(S_OK, RegisterTypeLibrary(&serverModule, nullptr));
    unregisterTypeLibLookup = {"oleaut32.dll", "NoSuchFunction"};
    EXPECT_EQ(S_OK, UnregisterTypeLibrary(&serverModule, nullptr));
    EXPECT_TRUE(Registered());
    unregisterTypeLibLookup = {"no-such-library.dll", "UnRegisterTypeLib"};
    EXPECT_EQ(S_OK, UnregisterTypeLibrary(&serverModule, nullptr));
    EXPECT_TRUE(Registered());
}

TEST_F(ProgramTypeLibrary, AnIndexIsAppendedAndTheTlbBesideTheProgramIsTheFallback)
{
    BSTR path = nullptr;
    ITypeLib* library = nullptr;
    // "\1" names the resource the program carries.
    ASSERT_EQ(S_OK, LocateTypeLibrary(&serverModule, L"\\1", &path, &library));
    EXPECT_EQ(WindowsPath(KELMO7_EXE) + "\\1", std::string(path, path + SysStringLen(path)));
    ITypeLib_Release(library);
    SysFreeString(path);

    // "\2" names no resource; the fallback replaces the name from its last
    // dot, which gives Kelmo7.tlb beside the program: the build leaves the
    // compiled library there.
    ASSERT_EQ(S_OK, LocateTypeLibrary(&serverModule, L"\\2", &path, &library));
    const std::string exe = WindowsPath(KELMO7_EXE);
    EXPECT_EQ(exe.substr(0, exe.rfind('.')) + ".tlb", std::string(path, path + SysStringLen(path)));
    ITypeLib_Release(library);
    SysFreeString(path);

    // Neither "Kelmo7.exe\2.y" nor "Kelmo7.exe\2.tlb" exists: the second
    // attempt's failure comes back, with no path and no library.
    path = reinterpret_cast<BSTR>(&path);
    library = reinterpret_cast<ITypeLib*>(&library);
    EXPECT_TRUE(FAILED(LocateTypeLibrary(&serverModule, L"\\2.y", &path, &library)));
    EXPECT_EQ(nullptr, path);
    EXPECT_EQ(nullptr, library);
    EXPECT_TRUE(FAILED(RegisterTypeLibrary(&serverModule, L"\\2.y")));
    EXPECT_TRUE(FAILED(UnregisterTypeLibrary(&serverModule, L"\\2.y")));
    EXPECT_FALSE(Registered());
}

}  // namespace
