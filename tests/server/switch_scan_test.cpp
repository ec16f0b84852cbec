// The command-line switch scan, over exact command lines.
#include <gtest/gtest.h>

#include <string>

#include "server_main.h"

namespace {

// Places text at the very end of a readable page, followed by a page that
// cannot be read, so that any read past the terminating zero faults.
class EdgeOfPage {
public:
    explicit EdgeOfPage(const std::string& text)
    {
        const SIZE_T room = (text.size() + 1 + 4095) / 4096 * 4096;
        base_ = static_cast<char*>(VirtualAlloc(nullptr, room + 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old;
        VirtualProtect(base_ + room, 4096, PAGE_NOACCESS, &old);
        text_ = base_ + room - text.size() - 1;
        text.copy(text_, text.size());
        text_[text.size()] = '\0';
    }
    ~EdgeOfPage() { VirtualFree(base_, 0, MEM_RELEASE); }
    const char* get() const { return text_; }

private:
    char* base_;
    char* text_;
};

ServerAction Scan(const std::string& commandLine) { return ScanSwitches(EdgeOfPage(commandLine).get()); }

TEST(SwitchScan, RecognisesASwitchOnlyAsTheWholeRestOfTheLine)
{
    EXPECT_EQ(ServerAction::Register, Scan("C:\\Apps\\Kelmo7.exe /RegServer"));
    EXPECT_EQ(ServerAction::Register, Scan("C:\\Apps\\Kelmo7.exe -regserver"));
    EXPECT_EQ(ServerAction::Register, Scan("C:\\Apps\\Kelmo7.exe -REGSERVER"));
    EXPECT_EQ(ServerAction::Unregister, Scan("C:\\Apps\\Kelmo7.exe -UnregServer"));
    EXPECT_EQ(ServerAction::Unregister, Scan("C:\\Apps\\Kelmo7.exe /uNrEgSeRvEr"));
    EXPECT_EQ(ServerAction::Serve, Scan("C:\\Apps\\Kelmo7.exe /RegServer "));
    EXPECT_EQ(ServerAction::Serve, Scan("C:\\Apps\\Kelmo7.exe /RegServer /s"));
    EXPECT_EQ(ServerAction::Serve, Scan("C:\\Apps\\Kelmo7.exe /Reg Server"));
    EXPECT_EQ(ServerAction::Serve, Scan("C:\\Apps\\Kelmo7.exe RegServer"));
    EXPECT_EQ(ServerAction::Serve, Scan("C:\\Apps\\Kelmo7.exe //RegServerX"));
    EXPECT_EQ(ServerAction::Unregister, Scan("C:\\Apps\\Kelmo7.exe /RegServer/UnregServer"));
    EXPECT_EQ(ServerAction::Register, Scan("C:\\Apps\\Kelmo7.exe /UnregServer/RegServer"));
    EXPECT_EQ(ServerAction::Register, Scan("C:\\Apps\\Kelmo7.exe --RegServer"));
}

TEST(SwitchScan, SeparatorsInsideTheProgramPathDoNotStopTheScan)
{
    EXPECT_EQ(ServerAction::Register, Scan("C:\\my-apps\\x-y\\Kelmo7.exe /RegServer"));
    EXPECT_EQ(ServerAction::Unregister, Scan("\"C:\\Program Files\\Dravix-Kelmo\\Kelmo7.exe\" -UnregServer"));
    EXPECT_EQ(ServerAction::Register, Scan("\"C:\\Program Files\\Kelmo7.exe\" /RegServer"));
    EXPECT_EQ(ServerAction::Serve, Scan("C:/Apps/Kelmo7.exe"));
}

TEST(SwitchScan, TheSwitchTheComRuntimeAddsMeansServing)
{
    EXPECT_EQ(ServerAction::Serve, Scan("C:\\Apps\\Kelmo7.exe -Embedding"));
    EXPECT_EQ(ServerAction::Serve, Scan("C:\\Apps\\Kelmo7.exe /Automation"));
}

TEST(SwitchScan, BadCommandLinesEndInOneBranchWithoutReadingPastTheEnd)
{
    EXPECT_EQ(ServerAction::Serve, Scan(""));
    EXPECT_EQ(ServerAction::Serve, Scan("/"));
    EXPECT_EQ(ServerAction::Serve, Scan("-"));
    EXPECT_EQ(ServerAction::Serve, Scan(std::string(5000, '/')));
    EXPECT_EQ(ServerAction::Serve, Scan(std::string(3000, '-') + std::string(3000, ' ')));
    EXPECT_EQ(ServerAction::Register, Scan(std::string(8000, 'a') + "/RegServer"));
    EXPECT_EQ(ServerAction::Register, Scan(std::string(4000, '/') + "RegServer"));
    std::string highBytes;
    for (int i = 1; i < 256; ++i)
        highBytes += static_cast<char>(i);
    EXPECT_EQ(ServerAction::Serve, Scan(highBytes));
    EXPECT_EQ(ServerAction::Serve, Scan(highBytes + highBytes + "\x81"));
    EXPECT_EQ(nullptr, FindAfterAnyOf(nullptr, "-/"));
    EXPECT_EQ(nullptr, FindAfterAnyOf(EdgeOfPage("").get(), "-/"));
}

TEST(SwitchScan, FindAfterAnyOfReturnsThePositionJustAfterTheSeparator)
{
    const char* text = "ab-cd/ef";
    EXPECT_EQ(text + 3, FindAfterAnyOf(text, "-/"));
    EXPECT_EQ(text + 6, FindAfterAnyOf(text, "/"));
    EXPECT_EQ(nullptr, FindAfterAnyOf(text, "x"));
    EXPECT_EQ(nullptr, FindAfterAnyOf(text, ""));
}

// These run only in a process started with code page 932 (see the test's CMake entry).
class DoubleByte : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(932u, GetACP()); }
};

TEST_F(DoubleByte, ATrailByteIsNeverTakenForACharacterOfItsOwn)
{
    // "\x83\x5C" is one katakana character whose trail byte is a backslash.
    const EdgeOfPage text(
        "\x83\x5C"
        "a\\b");
    EXPECT_EQ(text.get() + 4, FindAfterAnyOf(text.get(), "\\"));
    const EdgeOfPage onlyTrail(
        "\x83\x5C"
        "ab");
    EXPECT_EQ(nullptr, FindAfterAnyOf(onlyTrail.get(), "\\"));
    // A set character that is double-byte is compared by its first byte only.
    const EdgeOfPage set("\x83\x5C");
    EXPECT_EQ(text.get() + 2, FindAfterAnyOf(text.get(), set.get()));
}

TEST_F(DoubleByte, PathsInDoubleByteTextKeepTheirSwitch)
{
    EXPECT_EQ(ServerAction::Register, Scan("\"C:\\\x83\x5C\x83\x74\x83\x67\\Kelmo7.exe\" /RegServer"));
    EXPECT_EQ(ServerAction::Unregister, Scan("C:\\\x83\x5C-\x83\x74\\Kelmo7.exe -UnregServer"));
    EXPECT_EQ(ServerAction::Serve, Scan("C:\\\x83\x5C\\Kelmo7.exe /RegServer\x83\x5C"));
    // A lead byte at the very end of the line has no trail byte to take along.
    EXPECT_EQ(ServerAction::Serve, Scan("C:\\Kelmo7.exe /\x83"));
    EXPECT_EQ(ServerAction::Serve, Scan(std::string(2000, '\x83')));
}

}  // namespace
