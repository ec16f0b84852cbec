// The applying half of the registry-script engine against the real registry,
// inside a scratch key below HKEY_CURRENT_USER: the register pass, the
// unregister pass, roll-back, nesting, and the shapes of the server's scripts.
#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "script_test_support.h"

namespace {

using namespace script_test;
using testing_support::KeyExists;
using testing_support::ReadString;

using RegisterPass = ScriptOnRegistry;
using UnregisterPass = ScriptOnRegistry;
using Nesting = ScriptOnRegistry;
using ShippedScripts = ScriptOnRegistry;

TEST_F(RegisterPass, ExistingKeysKeepTheirOtherValuesAndSubkeys)
{
    Put("App", "Other", "keep");
    Put("App\\Child", nullptr, "child");
    Put("App", nullptr, "old default");
    ASSERT_EQ(S_OK, RegisterBody("App = s 'new default' { Added = s a }"));
    EXPECT_EQ("new default", Text("App"));
    EXPECT_EQ("keep", Text("App", "Other"));
    EXPECT_EQ("child", Text("App\\Child"));
    EXPECT_EQ("a", Text("App\\Added"));
    EXPECT_EQ(2u, Subkeys("App"));
}

TEST_F(RegisterPass, ForceRemoveDeletesTheOldTreeBeforeTheKeyIsMadeAgain)
{
    Put("App\\Old\\Deeper\\Deepest", nullptr, "x");
    Put("App", "Other", "gone");
    Put("Sibling", nullptr, "stays");
    ASSERT_EQ(S_OK, RegisterBody("ForceRemove App = s d { New }"));
    EXPECT_EQ("d", Text("App"));
    EXPECT_FALSE(HasValue("App", "Other"));
    EXPECT_FALSE(Exists("App\\Old"));
    EXPECT_TRUE(Exists("App\\New"));
    EXPECT_EQ(1u, Subkeys("App"));
    EXPECT_EQ("stays", Text("Sibling"));
    // Absent, the key is simply made.
    ASSERT_EQ(S_OK, RegisterBody("ForceRemove Fresh { Inner }"));
    EXPECT_TRUE(Exists("Fresh\\Inner"));
}

TEST_F(RegisterPass, ProtectedTreesAreNeitherForceRemovedNorDeleted)
{
    Put("CLSID\\{11111111-2222-3333-4444-555555555555}", nullptr, "other class");
    Put("CLSID", "Value", "v");
    Put("TypeLib\\{66666666-7777-8888-9999-000000000000}", nullptr, "other library");
    ASSERT_EQ(S_OK, RegisterBody("ForceRemove clsid { Added } Delete typelib Delete TYPELIB"));
    EXPECT_EQ("other class", Text("CLSID\\{11111111-2222-3333-4444-555555555555}"));
    EXPECT_EQ("v", Text("CLSID", "Value"));
    EXPECT_TRUE(Exists("CLSID\\Added"));  // the key itself is still opened
    EXPECT_EQ("other library", Text("TypeLib\\{66666666-7777-8888-9999-000000000000}"));
}

TEST_F(RegisterPass, DeleteRemovesTheWholeTreeAndCreatesNothing)
{
    Put("Foo\\A\\B", nullptr, "deep");
    Put("Foo", "V", "v");
    Put("Bar", nullptr, "bar");
    ASSERT_EQ(S_OK, RegisterBody("Delete Foo Delete Absent Delete Bar = s 'value clause is read' Next"));
    EXPECT_FALSE(Exists("Foo"));
    EXPECT_FALSE(Exists("Absent"));
    EXPECT_FALSE(Exists("Bar"));
    EXPECT_TRUE(Exists("Next"));  // the item after it is handled normally
    EXPECT_EQ(1u, Subkeys());
}

TEST_F(UnregisterPass, DeleteRemovesTheKeyOnlyWhenNoSubkeyIsLeft)
{
    Put("Foo\\Sub", nullptr, "sub");
    Put("Leaf", nullptr, "leaf");
    ASSERT_EQ(S_OK, UnregisterBody("Delete Foo Delete Leaf"));
    EXPECT_TRUE(Exists("Foo\\Sub"));
    EXPECT_FALSE(Exists("Leaf"));
}

TEST_F(RegisterPass, BackslashInAKeyNameFailsBeforeAnythingIsWritten)
{
    EXPECT_EQ(DISP_E_EXCEPTION, RegisterBody("Before = s b Outer { Inner 'bad\\name' Never } After"));
    EXPECT_FALSE(Exists("Before"));
    EXPECT_FALSE(Exists("Outer"));
    EXPECT_FALSE(Exists("Outer\\Inner"));
    EXPECT_FALSE(Exists("Outer\\Never"));
    EXPECT_FALSE(Exists("After"));
    EXPECT_FALSE(Exists("bad"));
    // After a keyword the name is checked too.
    EXPECT_EQ(DISP_E_EXCEPTION, RegisterBody("ForceRemove 'x\\y'"));
    EXPECT_EQ(DISP_E_EXCEPTION, RegisterBody("Delete x\\y"));
    EXPECT_FALSE(Exists("x"));
}

TEST_F(UnregisterPass, BackslashInAKeyNameFailsWhereverItStands)
{
    Put("Before", nullptr, "b");
    Put("Outer\\Inner", nullptr, "i");
    Put("After", nullptr, "a");
    EXPECT_EQ(DISP_E_EXCEPTION, UnregisterBody("Before Outer { Inner 'bad\\name' } After"));
    EXPECT_FALSE(Exists("Before"));
    EXPECT_FALSE(Exists("Outer\\Inner"));
    EXPECT_TRUE(Exists("Outer"));
    EXPECT_TRUE(Exists("After"));
    // Also inside the block of an absent key, which is only read.
    EXPECT_EQ(DISP_E_EXCEPTION, UnregisterBody("Absent { 'a\\b' } After"));
    EXPECT_TRUE(Exists("After"));
}

TEST_F(RegisterPass, AnEmptyKeyNameIsAScriptErrorAndNeverNamesTheParent)
{
    // The registry reads an empty name as the parent key itself.
    for (const char* body :
         {"ForceRemove ''", "Delete ''", "Keep { ForceRemove '' }", "Keep { Delete '' }", "'' = s x", "NoRemove ''"}) {
        Put("Keep\\Sub", nullptr, "sub");
        Put("", "Value", "v");
        EXPECT_EQ(DISP_E_EXCEPTION, RegisterBody(body)) << body;
        EXPECT_EQ("sub", Text("Keep\\Sub")) << body;
        EXPECT_EQ("v", Text("", "Value")) << body;
        EXPECT_EQ("<none>", Text("")) << body;
    }
}

TEST_F(UnregisterPass, AnEmptyKeyNameIsAScriptErrorAndNeverNamesTheParent)
{
    // Once X is gone, Kept has no subkeys: read as a name, '' would be Kept
    // itself, removed although "NoRemove" stands before it.
    Put("Kept\\X", nullptr, "x");
    Put("Kept", "Named", "n");
    EXPECT_EQ(DISP_E_EXCEPTION, UnregisterBody("NoRemove Kept { X '' }"));
    EXPECT_FALSE(Exists("Kept\\X"));
    EXPECT_EQ("n", Text("Kept", "Named"));
}

// A subkey whose name begins with U+0000, made through the native call that
// takes counted names. The ANSI functions read its name back empty, so it is
// removed the same way before the scratch key goes.
class SubkeyNamedZero {
public:
    explicit SubkeyNamedZero(const std::string& parentPath)
    {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        create_ = reinterpret_cast<CreateKey>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCreateKey")));
        remove_ = reinterpret_cast<DeleteKey>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDeleteKey")));
        HKEY parent = nullptr;
        if (create_ == nullptr || remove_ == nullptr ||
            RegOpenKeyExA(HKEY_CURRENT_USER, parentPath.c_str(), 0, KEY_ALL_ACCESS, &parent) != ERROR_SUCCESS)
            return;
        wchar_t name[] = {L'\0', L'z'};
        UNICODE_STRING counted = {sizeof(name), sizeof(name), name};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE, parent, nullptr);
        if (create_(&key_, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr) < 0)
            key_ = nullptr;
        RegCloseKey(parent);
    }
    ~SubkeyNamedZero()
    {
        if (key_ != nullptr) {
            remove_(key_);
            RegCloseKey(static_cast<HKEY>(key_));
        }
    }
    SubkeyNamedZero(const SubkeyNamedZero&) = delete;
    SubkeyNamedZero& operator=(const SubkeyNamedZero&) = delete;
    bool made() const { return key_ != nullptr; }

private:
    using CreateKey = LONG(NTAPI*)(HANDLE* key, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes, ULONG titleIndex,
                                   UNICODE_STRING* keyClass, ULONG options, ULONG* disposition);
    using DeleteKey = LONG(NTAPI*)(HANDLE key);
    CreateKey create_ = nullptr;
    DeleteKey remove_ = nullptr;
    HANDLE key_ = nullptr;
};

TEST_F(RegisterPass, TreeDeletionStopsAtASubkeyWhoseNameReadsBackEmpty)
{
    // An empty name opens the key again: followed, it would recurse until the
    // stack runs out.
    Put("Tree\\Plain", nullptr, "p");
    SubkeyNamedZero zero(Path("Tree"));
    ASSERT_TRUE(zero.made());
    EXPECT_EQ(S_OK, RegisterBody("ForceRemove Tree { Added }"));
    EXPECT_TRUE(Exists("Tree\\Added"));
    EXPECT_EQ(S_OK, RegisterBody("Delete Tree Next"));
    EXPECT_TRUE(Exists("Tree"));
    EXPECT_TRUE(Exists("Next"));
}

TEST_F(RegisterPass, KeysNamedAfterGuidsAreKeysNotBlocksInBothPasses)
{
    const std::string body =
        "{E187855A-54CC-40CB-85F7-7B63330900A0} = s 'Kelmo Class' "
        "{3DAB7F76-2BB8-4BAE-9DBE-7A1EA0A1735B} "
        "Plain {52535F66-5A21-4216-B1A4-6A240180FF21} { Inner }";
    ASSERT_EQ(S_OK, RegisterBody(body));
    EXPECT_EQ("Kelmo Class", Text("{E187855A-54CC-40CB-85F7-7B63330900A0}"));
    EXPECT_TRUE(Exists("{3DAB7F76-2BB8-4BAE-9DBE-7A1EA0A1735B}"));
    EXPECT_EQ(0u, Subkeys("Plain"));
    EXPECT_TRUE(Exists("{52535F66-5A21-4216-B1A4-6A240180FF21}\\Inner"));
    EXPECT_EQ(4u, Subkeys());
    ASSERT_EQ(S_OK, UnregisterBody(body));
    EXPECT_EQ(0u, Subkeys());
}

TEST_F(RegisterPass, KeywordsAreKeywordsAlsoInQuotesAndNeverKeyNames)
{
    ASSERT_EQ(S_OK, RegisterBody("'NoRemove' Keep = s k 'val' Named = s v 'forceremove' Forced"));
    EXPECT_TRUE(Exists("Keep"));
    EXPECT_TRUE(Exists("Forced"));
    EXPECT_FALSE(Exists("NoRemove"));
    EXPECT_EQ("v", Text("", "Named"));
    ASSERT_EQ(S_OK, UnregisterBody("'NoRemove' Keep = s k 'val' Named = s v Forced"));
    EXPECT_TRUE(Exists("Keep"));
    EXPECT_TRUE(Exists("Forced"));  // "NoRemove" applies to the rest of the block
    EXPECT_FALSE(HasValue("", "Named"));
    // A keyword or a closing brace where a key name must follow is refused.
    for (const char* body : {"NoRemove Val", "ForceRemove }", "Delete NoRemove X", "NoRemove '}x'"}) {
        EXPECT_EQ(DISP_E_EXCEPTION, RegisterBody(body)) << body;
        EXPECT_EQ(DISP_E_EXCEPTION, UnregisterBody(body)) << body;
    }
    EXPECT_EQ(2u, Subkeys());
}

TEST_F(RegisterPass, TypeLettersInEitherCaseAndNoOthers)
{
    ASSERT_EQ(S_OK, RegisterBody("S1 = s x S2 = S y D1 = d 5 D2 = D 6 B1 = b 01 B2 = B 02"));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), Raw("S1").type);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), Raw("S2").type);
    EXPECT_EQ(Bytes({5, 0, 0, 0}), Raw("D1").data);
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), Raw("D2").type);
    EXPECT_EQ(Bytes({1}), Raw("B1").data);
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), Raw("B2").type);
    for (const char* body : {"X = q 1", "X = sz 1", "X = '' 1", "val V = m 1"}) {
        EXPECT_EQ(DISP_E_EXCEPTION, RegisterBody(body)) << body;
        EXPECT_FALSE(Exists("X")) << body;  // rolled back
    }
}

TEST_F(RegisterPass, BinaryValuesAreReadAsPairsOfHexDigits)
{
    ASSERT_EQ(S_OK, RegisterBody("B1 = b 0A1b B2 = b zz B3 = b '' B4 = b fF00Ee"));
    EXPECT_EQ(Bytes({0x0A, 0x1B}), Raw("B1").data);
    EXPECT_EQ(Bytes({0x00}), Raw("B2").data);
    const RawValue empty = Raw("B3");
    EXPECT_TRUE(empty.found);
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), empty.type);
    EXPECT_TRUE(empty.data.empty());
    EXPECT_EQ(Bytes({0xFF, 0x00, 0xEE}), Raw("B4").data);
    EXPECT_EQ(E_FAIL, RegisterBody("Odd = b ABC"));
    EXPECT_FALSE(Exists("Odd"));
    EXPECT_EQ(15, HexDigitValue('f'));
    EXPECT_EQ(15, HexDigitValue('F'));
    EXPECT_EQ(9, HexDigitValue('9'));
    EXPECT_EQ(0, HexDigitValue('g'));
    EXPECT_EQ(0, HexDigitValue('\xA1'));
}

TEST_F(RegisterPass, NumbersAreWrittenAsFourBytesAndUnreadableNumbersWriteNothing)
{
    ASSERT_EQ(S_OK, RegisterBody("Number = d 100 Big = d 4294967295"));
    EXPECT_EQ(Bytes({0x64, 0, 0, 0}), Raw("Number").data);
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), Raw("Number").type);
    EXPECT_EQ(Bytes({0xFF, 0xFF, 0xFF, 0xFF}), Raw("Big").data);
    // Text that is not a number leaves the old value alone and the pass goes on.
    ASSERT_EQ(S_OK, RegisterBody("Number = d abc Big = d 4294967296 Fresh = d '' Later = s written"));
    EXPECT_EQ(Bytes({0x64, 0, 0, 0}), Raw("Number").data);
    EXPECT_EQ(Bytes({0xFF, 0xFF, 0xFF, 0xFF}), Raw("Big").data);
    EXPECT_TRUE(Exists("Fresh"));
    EXPECT_FALSE(Raw("Fresh").found);
    EXPECT_EQ("written", Text("Later"));
}

TEST_F(RegisterPass, StringsAreWrittenWithTheirZeroByte)
{
    ASSERT_EQ(S_OK, RegisterBody("Empty = s '' Quote = s 'It''s' Braces = s {x}"));
    const RawValue empty = Raw("Empty");
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), empty.type);
    EXPECT_EQ(Bytes({0}), empty.data);
    EXPECT_EQ("It's", Text("Quote"));
    EXPECT_EQ("{x}", Text("Braces"));
}

TEST_F(RegisterPass, ValItemsWorkOnTheKeyOfTheEnclosingBlock)
{
    ASSERT_EQ(S_OK, RegisterBody("First { val Inner = s i } Second val Outer = s o"));
    EXPECT_EQ("i", Text("First", "Inner"));
    EXPECT_EQ("o", Text("", "Outer"));
    EXPECT_EQ(0u, Values("Second"));
    ASSERT_EQ(S_OK, UnregisterBody("First { val Inner = s i } Second val Outer = s o"));
    EXPECT_FALSE(HasValue("", "Outer"));
    EXPECT_FALSE(Exists("First"));
    EXPECT_FALSE(Exists("Second"));
    // "=" must follow a value name.
    EXPECT_EQ(DISP_E_EXCEPTION, RegisterBody("val Name s x"));
    EXPECT_FALSE(HasValue("", "Name"));
}

TEST_F(RegisterPass, NamesLongerThanTheirBuffersAreScriptErrors)
{
    const std::string longest(259, 'v');
    ASSERT_EQ(S_OK, RegisterBody("val " + longest + " = s fits"));
    EXPECT_EQ("fits", Text("", longest.c_str()));
    const std::string tooLong(260, 'w');
    EXPECT_EQ(DISP_E_EXCEPTION, RegisterBody("Before val " + tooLong + " = s no"));
    EXPECT_FALSE(Exists("Before"));
    EXPECT_EQ(DISP_E_EXCEPTION, UnregisterBody("val " + tooLong + " = s no"));
    EXPECT_EQ(DISP_E_EXCEPTION, RegisterBody(std::string(260, 'k')));
    EXPECT_EQ(DISP_E_EXCEPTION, UnregisterBody(std::string(300, 'k')));
    EXPECT_EQ(0u, Subkeys());
}

TEST_F(RegisterPass, ABlockAfterADeleteOrValueItemIsAScriptErrorInBothPasses)
{
    Put("Foo", nullptr, "foo");
    EXPECT_EQ(DISP_E_EXCEPTION, RegisterBody("Made Delete Foo { Bar }"));
    EXPECT_FALSE(Exists("Bar"));
    EXPECT_FALSE(Exists("Made"));
    EXPECT_EQ(DISP_E_EXCEPTION, RegisterBody("val V = s v { Bar }"));
    EXPECT_FALSE(HasValue("", "V"));
    EXPECT_FALSE(Exists("Bar"));

    Put("Bar", nullptr, "bar");
    Put("Foo\\Sub", nullptr, "sub");
    EXPECT_EQ(DISP_E_EXCEPTION, UnregisterBody("Delete Foo = s x { Bar }"));
    EXPECT_EQ(DISP_E_EXCEPTION, UnregisterBody("val V = s v { Bar }"));
    EXPECT_TRUE(Exists("Bar"));
    EXPECT_TRUE(Exists("Foo\\Sub"));
}

TEST_F(RegisterPass, AScriptThatEndsInsideABlockFailsAndIsRolledBack)
{
    const std::string whole = Under(scratch_, "Made = s m");
    const std::string cut = whole.substr(0, whole.find("Made = s m") + 10);
    EXPECT_EQ(DISP_E_EXCEPTION, Register(cut));
    EXPECT_FALSE(Exists("Made"));
    EXPECT_EQ(DISP_E_EXCEPTION, Register(whole.substr(0, whole.find("Made = s") + 8)));
    EXPECT_EQ(DISP_E_EXCEPTION, Unregister(cut));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, scratch_.path()));
}

TEST_F(UnregisterPass, AKeyWithOnlyItsDefaultValueGoesAtOnceAndItsBlockIsOnlyRead)
{
    Put("A", nullptr, "only a default");
    Put("B", nullptr, "sibling of A");
    Put("C", nullptr, "after A");
    Put("", "V", "value of the scratch key");
    // Were A's block applied one level up, B and V would go.
    ASSERT_EQ(S_OK, UnregisterBody("A = s x { B val V = s x Deeper { Deepest } } C"));
    EXPECT_FALSE(Exists("A"));
    EXPECT_TRUE(Exists("B"));
    EXPECT_EQ("value of the scratch key", Text("", "V"));
    EXPECT_FALSE(Exists("C"));
}

TEST_F(UnregisterPass, NoRemoveProtectsTheRestOfItsBlockOnly)
{
    Put("A", nullptr, "a");
    Put("B", nullptr, "b");
    ASSERT_EQ(S_OK, UnregisterBody("NoRemove A B"));
    EXPECT_TRUE(Exists("A"));
    EXPECT_TRUE(Exists("B"));
    ASSERT_EQ(S_OK, UnregisterBody("B NoRemove A"));
    EXPECT_FALSE(Exists("B"));
    EXPECT_TRUE(Exists("A"));
    // A nested block starts with its own flag set.
    Put("N\\Inner", nullptr, "inner");
    ASSERT_EQ(S_OK, UnregisterBody("NoRemove N { Inner }"));
    EXPECT_TRUE(Exists("N"));
    EXPECT_FALSE(Exists("N\\Inner"));
}

TEST_F(UnregisterPass, NoRemoveAppIdStaysAlsoWhenItBecomesEmpty)
{
    const std::string body = "NoRemove AppID { {3DAB7F76-2BB8-4BAE-9DBE-7A1EA0A1735B} = s 'Kelmo7' }";
    ASSERT_EQ(S_OK, RegisterBody(body));
    ASSERT_TRUE(Exists("AppID\\{3DAB7F76-2BB8-4BAE-9DBE-7A1EA0A1735B}"));
    ASSERT_EQ(S_OK, UnregisterBody(body));
    EXPECT_TRUE(Exists("AppID"));
    EXPECT_EQ(0u, Subkeys("AppID"));
}

TEST_F(UnregisterPass, AKeyWithSubkeysTheScriptDoesNotNameStaysWithThem)
{
    Put("App\\Named", nullptr, "named");
    Put("App\\Foreign\\Deep", nullptr, "foreign");
    // A subkey named like its parent is not the script's either.
    Put("Foo\\Foo\\Data", nullptr, "data");
    ASSERT_EQ(S_OK, UnregisterBody("App { Named } Foo { Bar }"));
    EXPECT_FALSE(Exists("App\\Named"));
    EXPECT_EQ("foreign", Text("App\\Foreign\\Deep"));
    EXPECT_EQ("data", Text("Foo\\Foo\\Data"));
    // Without subkeys, a key goes with every value it holds.
    Put("Valued", "Other", "o");
    Put("Valued", "Named", "n");
    ASSERT_EQ(S_OK, UnregisterBody("Valued { val Named = s n }"));
    EXPECT_FALSE(Exists("Valued"));
}

TEST_F(UnregisterPass, ValItemsDeleteTheirValueAlsoFromAKeyThatStays)
{
    Put("Kept\\Foreign", nullptr, "keeps Kept alive");
    Put("Kept", "AppID", "{3DAB7F76-2BB8-4BAE-9DBE-7A1EA0A1735B}");
    Put("Kept", "Other", "o");
    Put("Shared", "AppID", "x");
    ASSERT_EQ(S_OK, UnregisterBody("Kept { val AppID = s x } NoRemove Shared { val AppID = s x }"));
    EXPECT_FALSE(HasValue("Kept", "AppID"));
    EXPECT_EQ("o", Text("Kept", "Other"));
    EXPECT_TRUE(Exists("Kept\\Foreign"));
    EXPECT_FALSE(HasValue("Shared", "AppID"));
    EXPECT_TRUE(Exists("Shared"));
}

TEST_F(UnregisterPass, AbsentKeysChangeNothingAndTheNextItemIsHandledNormally)
{
    Put("X", nullptr, "x");
    Put("Present", nullptr, "p");
    Put("Later", nullptr, "l");
    Put("", "V", "v");
    ASSERT_EQ(S_OK, UnregisterBody("Absent { X val V = s v } Present Gone = s g Later"));
    EXPECT_TRUE(Exists("X"));
    EXPECT_EQ("v", Text("", "V"));
    EXPECT_FALSE(Exists("Present"));
    EXPECT_FALSE(Exists("Later"));
}

TEST_F(RegisterPass, AFailedRegistrationKeepsAKeyItDidNotWrite)
{
    Put("After", nullptr, "named by the script, after the faulty block");
    EXPECT_EQ(DISP_E_EXCEPTION, RegisterBody("Created = s c { val Name = q x Sub { Deeper } } After"));
    EXPECT_FALSE(Exists("Created"));
    EXPECT_EQ("named by the script, after the faulty block", Text("After"));
}

// A key that cannot be created, after other writes: a non-volatile key below
// a volatile one. What the run changed is put back, and only that.
TEST_F(RegisterPass, AWriteThatFailsPutsBackWhatTheRunChanged)
{
    Put("Kept", nullptr, "old");
    Put("Tree\\Sub", "Value", "old");
    HKEY volatileKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, Path("Volatile").c_str(), 0, nullptr,
                                             REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &volatileKey, nullptr));
    RegCloseKey(volatileKey);
    EXPECT_EQ(DISP_E_EXCEPTION,
              RegisterBody("Kept = s new { New } val Named = s n ForceRemove Tree = s t { Other } Volatile { Child }"));
    EXPECT_EQ("old", Text("Kept"));
    EXPECT_FALSE(Exists("Kept\\New"));
    EXPECT_FALSE(HasValue("", "Named"));
    EXPECT_EQ("old", Text("Tree\\Sub", "Value"));
    EXPECT_EQ("<none>", Text("Tree"));
    EXPECT_FALSE(Exists("Tree\\Other"));
    EXPECT_FALSE(Exists("Volatile\\Child"));
}

TEST_F(Nesting, BlocksNestUpToTheRegistrysOwnDepthAndNoDeeper)
{
    // Absent keys in the unregister pass: the whole script is only read.
    const std::string absent = "KelmoAbsent-" + std::to_string(GetCurrentProcessId());
    auto nested = [&](int blocks) {
        std::string text = "HKCU {";
        for (int i = 1; i < blocks; ++i)
            text += " " + absent + " {";
        for (int i = 0; i < blocks; ++i)
            text += " }";
        return text;
    };
    EXPECT_EQ(S_OK, Unregister(nested(512)));
    EXPECT_EQ(DISP_E_EXCEPTION, Unregister(nested(513)));
    EXPECT_EQ(DISP_E_EXCEPTION, Unregister(nested(100000)));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, absent));
}

TEST_F(Nesting, TooDeepARegistrationFailsAndIsRolledBackAsUsual)
{
    std::string body = "Before = s b Chain";
    for (int i = 0; i < 600; ++i)
        body += " { K";
    for (int i = 0; i < 600; ++i)
        body += " }";
    EXPECT_EQ(DISP_E_EXCEPTION, RegisterBody(body));
    EXPECT_FALSE(Exists("Before"));
}

// The two scripts the server carries, with HKCR replaced by the scratch key.
const char kAppIdScriptBody[] =
    "\tNoRemove AppID\r\n"
    "\t{\r\n"
    "\t\t{3DAB7F76-2BB8-4BAE-9DBE-7A1EA0A1735B} = s 'Kelmo7'\r\n"
    "\t\t'Kelmo7.EXE'\r\n"
    "\t\t{\r\n"
    "\t\t\tval AppID = s {3DAB7F76-2BB8-4BAE-9DBE-7A1EA0A1735B}\r\n"
    "\t\t}\r\n"
    "\t}\r\n";
const char kClassScriptBody[] =
    "\tKelmo7_83.Kelmo = s 'Kelmo Class'\r\n"
    "\t{\r\n"
    "\t\tCLSID = s '{E187855A-54CC-40CB-85F7-7B63330900A0}'\r\n"
    "\t}\r\n"
    "\tNoRemove CLSID\r\n"
    "\t{\r\n"
    "\t\tForceRemove {E187855A-54CC-40CB-85F7-7B63330900A0} = s 'Kelmo Class'\r\n"
    "\t\t{\r\n"
    "\t\t\tProgID = s 'Kelmo7_83.Kelmo'\r\n"
    "\t\t\tVersionIndependentProgID = s 'Kelmo7_83.Kelmo'\r\n"
    "\t\t\tForceRemove 'Programmable'\r\n"
    "\t\t\tLocalServer32 = s '%MODULE%'\r\n"
    "\t\t\tval AppID = s '{3DAB7F76-2BB8-4BAE-9DBE-7A1EA0A1735B}'\r\n"
    "\t\t\t'TypeLib' = s '{52535F66-5A21-4216-B1A4-6A240180FF21}'\r\n"
    "\t\t}\r\n"
    "\t}\r\n";
const char kAppId[] = "{3DAB7F76-2BB8-4BAE-9DBE-7A1EA0A1735B}";
const char kClassKey[] = "CLSID\\{E187855A-54CC-40CB-85F7-7B63330900A0}";

// The text of a file of the server's resource folder; empty when unread.
std::string ShippedScript(const char* name)
{
    std::ifstream in(testing_support::WindowsPath(std::string(KELMO_SCRIPT_FOLDER) + "/" + name), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(ShippedScripts, BodiesAreTheCarriedScriptsWithoutTheirRootKey)
{
    const std::string wrapper = std::string("HKCR\r\n{\r\n") + "}\r\n";
    EXPECT_EQ(175u, wrapper.size() + sizeof(kAppIdScriptBody) - 1);
    EXPECT_EQ(483u, wrapper.size() + sizeof(kClassScriptBody) - 1);
    EXPECT_EQ(ShippedScript("appid.rgs"), std::string("HKCR\r\n{\r\n") + kAppIdScriptBody + "}\r\n");
    EXPECT_EQ(ShippedScript("class.rgs"), std::string("HKCR\r\n{\r\n") + kClassScriptBody + "}\r\n");
}

TEST_F(ShippedScripts, RegisterThenUnregisterLeavesOnlyTheSharedKeys)
{
    const Pairs module = {{L"Module", L"C:\\Program Files\\Dravix''s\\Kelmo7.exe"}};
    ASSERT_EQ(S_OK, RunText(Under(scratch_, kAppIdScriptBody), TRUE, module));
    ASSERT_EQ(S_OK, RunText(Under(scratch_, kClassScriptBody), TRUE, module));

    EXPECT_EQ("Kelmo7", Text(std::string("AppID\\") + kAppId));
    EXPECT_EQ(1u, Values("AppID\\Kelmo7.EXE"));
    EXPECT_EQ(kAppId, Text("AppID\\Kelmo7.EXE", "AppID"));
    EXPECT_EQ("Kelmo Class", Text("Kelmo7_83.Kelmo"));
    EXPECT_EQ("{E187855A-54CC-40CB-85F7-7B63330900A0}", Text("Kelmo7_83.Kelmo\\CLSID"));
    const std::string k = kClassKey;
    EXPECT_EQ("Kelmo Class", Text(k));
    EXPECT_EQ("Kelmo7_83.Kelmo", Text(k + "\\ProgID"));
    EXPECT_EQ("Kelmo7_83.Kelmo", Text(k + "\\VersionIndependentProgID"));
    EXPECT_TRUE(Exists(k + "\\Programmable"));
    EXPECT_EQ(0u, Values(k + "\\Programmable"));
    std::string server;
    ASSERT_TRUE(ReadString(HKEY_CURRENT_USER, Path(k + "\\LocalServer32"), nullptr, &server));
    EXPECT_EQ("C:\\Program Files\\Dravix's\\Kelmo7.exe", server);
    EXPECT_EQ(kAppId, Text(k, "AppID"));
    EXPECT_EQ("{52535F66-5A21-4216-B1A4-6A240180FF21}", Text(k + "\\TypeLib"));
    EXPECT_EQ(5u, Subkeys(k));
    EXPECT_EQ(2u, Values(k));

    ASSERT_EQ(S_OK, RunText(Under(scratch_, kAppIdScriptBody), FALSE, module));
    ASSERT_EQ(S_OK, RunText(Under(scratch_, kClassScriptBody), FALSE, module));
    EXPECT_TRUE(Exists("AppID"));
    EXPECT_TRUE(Exists("CLSID"));
    EXPECT_EQ(0u, Subkeys("AppID"));
    EXPECT_EQ(0u, Subkeys("CLSID"));
    EXPECT_EQ(2u, Subkeys());
}

TEST_F(ShippedScripts, ASecondRegistrationRebuildsTheClassKeyFromNothing)
{
    const Pairs module = {{L"Module", L"C:\\Kelmo7.exe"}};
    ASSERT_EQ(S_OK, RunText(Under(scratch_, kClassScriptBody), TRUE, module));
    const std::string k = kClassKey;
    Put(k + "\\Foreign", nullptr, "someone else's");
    Put(k, "ForeignValue", "x");
    Put("Kelmo7_83.Kelmo\\Foreign", nullptr, "survives");
    Put("Kelmo7_83.Kelmo", nullptr, "changed");
    ASSERT_EQ(S_OK, RunText(Under(scratch_, kClassScriptBody), TRUE, module));
    EXPECT_FALSE(Exists(k + "\\Foreign"));
    EXPECT_FALSE(HasValue(k, "ForeignValue"));
    EXPECT_EQ(5u, Subkeys(k));
    EXPECT_EQ("survives", Text("Kelmo7_83.Kelmo\\Foreign"));
    EXPECT_EQ("Kelmo Class", Text("Kelmo7_83.Kelmo"));
    // Unregistration leaves the foreign subkey and so its parent.
    ASSERT_EQ(S_OK, RunText(Under(scratch_, kClassScriptBody), FALSE, module));
    EXPECT_TRUE(Exists("Kelmo7_83.Kelmo\\Foreign"));
    EXPECT_FALSE(Exists("Kelmo7_83.Kelmo\\CLSID"));
    EXPECT_FALSE(Exists(k));
}

}  // namespace
