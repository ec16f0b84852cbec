// The activation rules that kelmo7-check applies, case by case, against the
// platform's documented behaviour.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform_rules.h"
#include "registrar/command_line_quoting.h"

namespace {

using namespace check;

TEST(ThreadingModel, OnlyFreeAndNeutralLeaveTheMainApartment)
{
    struct Case {
        const wchar_t* model;  // nullptr: no value
        ComponentApartment apartment;
    };
    const Case cases[] = {
        {nullptr, ComponentApartment::kMain},  {L"Apartment", ComponentApartment::kMain},
        {L"both", ComponentApartment::kMain},  {L"Single", ComponentApartment::kMain},
        {L"", ComponentApartment::kMain},      {L"Rental", ComponentApartment::kMain},
        {L"FREE", ComponentApartment::kFree},  {L"Neutral", ComponentApartment::kNeutral},
        {L"Free ", ComponentApartment::kMain},
    };
    for (const Case& c : cases) {
        const std::wstring model = c.model ? c.model : L"";
        const ComponentApartment apartment = ApartmentOfModel(c.model ? &model : nullptr);
        EXPECT_EQ(c.apartment, apartment) << (c.model ? std::string(model.begin(), model.end()) : "absent");
        EXPECT_EQ(c.apartment == ComponentApartment::kMain, AggregatesInMainApartment(apartment));
    }
}

TEST(CommandLine, TheProgramIsTriedAtEachBlankWithExeAdded)
{
    struct Case {
        const wchar_t* command;
        std::vector<std::wstring> candidates;
        bool quoted;
    };
    const Case cases[] = {
        {L"\"C:\\Program Files\\K\\Kelmo7.exe\" -Embedding", {L"C:\\Program Files\\K\\Kelmo7.exe"}, true},
        {L"  \"C:\\K\\Kelmo7\"", {L"C:\\K\\Kelmo7.exe"}, true},
        {L"C:\\K\\Kelmo7.exe", {L"C:\\K\\Kelmo7.exe"}, false},
        {L"C:\\Program Files\\K\\Kelmo7.exe", {L"C:\\Program.exe", L"C:\\Program Files\\K\\Kelmo7.exe"}, false},
        {L"C:\\A B\tC\\k /x", {L"C:\\A.exe", L"C:\\A B.exe", L"C:\\A B\tC\\k.exe", L"C:\\A B\tC\\k /x.exe"}, false},
        {L"\tkelmo7  -a", {L"kelmo7.exe", L"kelmo7  -a.exe"}, false},
        {L"C:\\v1.2\\k", {L"C:\\v1.2\\k.exe"}, false},
        {L"k.com", {L"k.com"}, false},
    };
    for (const Case& c : cases) {
        const CommandProgram program = ProgramsOfCommand(c.command);
        EXPECT_EQ(c.candidates, program.candidates) << std::wstring(c.command).size();
        EXPECT_EQ(c.quoted, program.quoted);
        EXPECT_EQ("", program.problem);
    }
}

TEST(CommandLine, APathWrittenByTheServersQuotingRuleReadsBackWhole)
{
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"C:\\K\\Kelmo7.exe", false},
        {L"C:\\Program Files\\K\\Kelmo7.exe", true},
        {L"C:\\A\tB\\Kelmo7.exe", true},
        {L"\\\\host\\share\\Kelmo7.exe", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, command_line::NeedsQuotes(c.first));
        const std::wstring written = c.second ? L"\"" + std::wstring(c.first) + L"\"" : c.first;
        const CommandProgram read = ProgramsOfCommand(written);
        EXPECT_EQ(std::vector<std::wstring>{c.first}, read.candidates);
        EXPECT_EQ(c.second, read.quoted);
    }
}

TEST(CommandLine, ALineThatNamesNoProgramSaysWhy)
{
    const std::pair<const wchar_t*, const char*> cases[] = {
        {L"", "the value is empty"},
        {L" \t ", "the value is empty"},
        {L"\"C:\\K\\Kelmo7.exe", "a double quote opens the program's name and none closes it"},
        {L"\"\" -x", "the value names no program"},
    };
    for (const auto& c : cases) {
        const CommandProgram program = ProgramsOfCommand(c.first);
        EXPECT_EQ(c.second, program.problem);
        EXPECT_TRUE(program.candidates.empty());
    }
}

TEST(SearchOrder, ABareNameGoesThroughTheLaunchersFoldersThenPath)
{
    SearchFacts facts;
    facts.launcherFolder = L"L";
    facts.currentFolder = L"C\\";
    facts.systemFolder = L"S";
    facts.windowsFolder = L"W";
    facts.path = L"P1;;P2\\";
    const std::vector<std::wstring> bare = {L"L\\k.exe", L"C\\k.exe",  L"S\\k.exe", L"W\\System\\k.exe",
                                            L"W\\k.exe", L"P1\\k.exe", L"P2\\k.exe"};
    EXPECT_EQ(bare, SearchOrder(facts, L"k.exe"));
    const std::vector<std::wstring> library = {L"L\\k.dll", L"S\\k.dll",  L"W\\System\\k.dll", L"W\\k.dll",
                                               L"C\\k.dll", L"P1\\k.dll", L"P2\\k.dll"};
    EXPECT_EQ(library, LibrarySearchOrder(facts, L"k.dll"));
    EXPECT_EQ(std::vector<std::wstring>{L"C\\bin\\k.dll"}, LibrarySearchOrder(facts, L"bin\\k.dll"));
    EXPECT_EQ(std::vector<std::wstring>{L"C\\bin\\k.exe"}, SearchOrder(facts, L"bin\\k.exe"));
    for (const wchar_t* absolute : {L"D:\\k.exe", L"\\\\host\\share\\k.exe"})
        EXPECT_EQ(std::vector<std::wstring>{absolute}, SearchOrder(facts, absolute));
}

TEST(Expansion, VariablesAsTheProcessOfEachBitnessSeesThem)
{
    const VariableLookup lookup = [](const std::wstring& name, std::wstring* value) {
        if (name == L"A" || name == L"ProgramFiles(x86)") {
            *value = name == L"A" ? L"1" : L"X86";
            return true;
        }
        return false;
    };
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"%A%\\b", L"1\\b"},
        {L"%A%%A%", L"11"},
        {L"%B%%A%", L"%B%1"},
        {L"%A", L"%A"},
        {L"%%A%", L"%1"},
        {L"50% %A%", L"50% 1"},
        {L"%ProgramFiles(x86)%", L"X86"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::wstring(c.second), ExpandVariables(c.first, lookup)) << std::wstring(c.first).size();
    EXPECT_EQ(L"ProgramFiles(x86)", VariableSeenBy(L"programfiles", 32));
    EXPECT_EQ(L"ProgramW6432", VariableSeenBy(L"ProgramFiles", 64));
    EXPECT_EQ(L"CommonProgramFiles(x86)", VariableSeenBy(L"CommonProgramFiles", 32));
    EXPECT_EQ(L"CommonProgramW6432", VariableSeenBy(L"CommonProgramFiles", 64));
    EXPECT_EQ(L"SystemRoot", VariableSeenBy(L"SystemRoot", 32));
}

TEST(TypeLibraryVersion, TheSameMajorWithTheAskedMinorOrTheGreatestAbove)
{
    struct Case {
        std::vector<std::wstring> registered;
        const wchar_t* wanted;
        const wchar_t* serving;
    };
    const Case cases[] = {
        {{L"1.0"}, L"1.0", L"1.0"},
        {{L"1.2", L"1.a", L"1.3"}, L"1.0", L"1.a"},
        {{L"1.5", L"1.0", L"1.9"}, L"1.0", L"1.0"},  // the version asked for wins
        {{L"1.0"}, L"1.1", L""},
        {{L"2.0", L"0.9"}, L"1.0", L""},
        {{L"1.0"}, L"1", L""},
        {{L"x.y", L"1.", L"1.0.0", L"1.1"}, L"1.0", L"1.1"},
        {{}, L"1.0", L""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(std::wstring(c.serving), LibraryVersionServing(c.registered, c.wanted)) << c.registered.size();
}

TEST(ServerView, PreferredServerBitnessChoosesAmongTheViewsThatHoldTheClass)
{
    struct Case {
        int preferred, client;
        bool in32, in64;
        int view;
    };
    const Case cases[] = {
        {0, 64, true, true, 64},  {0, 32, true, true, 32}, {1, 64, true, false, 32},
        {0, 32, false, true, 64}, {2, 64, true, true, 32}, {3, 32, true, true, 64},
        {3, 32, true, false, 32}, {7, 64, true, true, 64}, {0, 64, false, false, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.view, ServerViewOf(c.preferred, c.client, c.in32, c.in64))
            << c.preferred << " " << c.client << " " << c.in32 << c.in64;
}

}  // namespace
