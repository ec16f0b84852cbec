// tollan.exe end to end: started with CreateProcessA and an exact command line
// (no shell in between) in a scratch folder; the exit code and the folder's
// files are checked after every run.
#include <gtest/gtest.h>

#include <set>

#include "wine_test_support.h"

using namespace testing_support;

namespace {

const std::string kTollan = WindowsPath(TOLLAN_EXE);
constexpr DWORD kDeleted = 0;
constexpr DWORD kUnusable = 0xFFFFFFFF;

void RemoveFolder(const std::string& folder)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            const std::string path = folder + "\\" + name;
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveFolder(path);
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

class Tollan : public ::testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        ASSERT_NE(0u, GetTempPathA(MAX_PATH, temp));
        folder_ = std::string(temp) + "tollan-" + std::to_string(GetCurrentProcessId()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name();
        RemoveFolder(folder_);
        ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr));
    }
    void TearDown() override { RemoveFolder(folder_); }

    std::string PathOf(const std::string& name) const { return folder_ + "\\" + name; }

    void MakeFile(const std::string& name, DWORD attributes = FILE_ATTRIBUTE_NORMAL)
    {
        HANDLE file =
            CreateFileA(PathOf(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file) << name;
        DWORD written = 0;
        WriteFile(file, "data", 4, &written, nullptr);
        CloseHandle(file);
        ASSERT_TRUE(SetFileAttributesA(PathOf(name).c_str(), attributes)) << name;
        // A plain file may read back as FILE_ATTRIBUTE_ARCHIVE.
        const DWORD plain = FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE;
        ASSERT_EQ(attributes & ~plain, Attributes(name) & ~plain) << name;
    }

    DWORD Attributes(const std::string& name) const { return GetFileAttributesA(PathOf(name).c_str()); }
    bool Exists(const std::string& name) const { return Attributes(name) != INVALID_FILE_ATTRIBUTES; }

    // Every entry of the folder with its attributes, to see that a run
    // changed nothing but what it should.
    std::set<std::pair<std::string, DWORD>> Contents() const
    {
        std::set<std::pair<std::string, DWORD>> entries;
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA(PathOf("*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            return entries;
        do {
            const std::string name = found.cFileName;
            if (name != "." && name != "..")
                entries.emplace(name, found.dwFileAttributes);
        } while (FindNextFileA(search, &found));
        FindClose(search);
        return entries;
    }

    // Runs tollan with the given command-line tail in the scratch folder.
    DWORD Run(const std::string& tail, bool quoteProgram = true)
    {
        const std::string program = quoteProgram ? "\"" + kTollan + "\"" : kTollan;
        const ProcessResult result = RunProcess(program + " " + tail, 30000, folder_.c_str());
        EXPECT_TRUE(result.started) << tail << " (error " << result.startError << ")";
        EXPECT_TRUE(result.finished) << tail;
        return result.exitCode;
    }

    // Runs tollan and expects it to touch nothing in the folder.
    void ExpectUntouched(const std::string& tail, DWORD exitCode)
    {
        const auto before = Contents();
        EXPECT_EQ(exitCode, Run(tail)) << "tail: " << tail.substr(0, 80);
        EXPECT_EQ(before, Contents()) << "tail: " << tail.substr(0, 80);
    }

    // Runs tollan and expects exactly the named file to be gone afterwards.
    void ExpectDeleted(const std::string& tail, const std::string& file, bool quoteProgram = true)
    {
        auto expected = Contents();
        bool found = false;
        for (auto it = expected.begin(); it != expected.end(); ++it)
            if (it->first == file) {
                expected.erase(it);
                found = true;
                break;
            }
        ASSERT_TRUE(found) << file << " was not made";
        EXPECT_EQ(kDeleted, Run(tail, quoteProgram)) << "tail: " << tail.substr(0, 80);
        EXPECT_EQ(expected, Contents()) << "tail: " << tail.substr(0, 80);
    }

    std::string folder_;
};

TEST_F(Tollan, DeletesAReadOnlyHiddenOrSystemFileNamedAlone)
{
    const DWORD kinds[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM,
                           FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
                           FILE_ATTRIBUTE_ARCHIVE};
    MakeFile("bystander.txt", FILE_ATTRIBUTE_READONLY);
    for (DWORD attributes : kinds) {
        MakeFile("f.txt", attributes);
        ExpectDeleted("f.txt", "f.txt");
    }
    // Unquoted program path, blanks behind the name, an absolute path.
    MakeFile("g.txt", FILE_ATTRIBUTE_READONLY);
    ExpectDeleted("g.txt   ", "g.txt", false);
    MakeFile("h.txt", FILE_ATTRIBUTE_READONLY);
    ExpectDeleted(PathOf("h.txt"), "h.txt");
}

TEST_F(Tollan, DeletesAQuotedNameWithBlanksAndNotItsParts)
{
    MakeFile("my file.txt", FILE_ATTRIBUTE_READONLY);
    MakeFile("my");
    MakeFile("file.txt");
    ExpectDeleted("\"" + PathOf("my file.txt") + "\"", "my file.txt");
    MakeFile("a b");
    ExpectDeleted("\"a b\"", "a b");
    // The byte behind a closing quote is passed over.
    MakeFile("abc");
    MakeFile("d");
    ExpectDeleted("\"abc\"d", "abc");
    MakeFile("abc");
    ExpectUntouched("\"abc\"de", kUnusable);
    // The program name quoted and the tail right behind it.
    const auto before = Contents();
    MakeFile("k.txt");
    EXPECT_EQ(kDeleted, RunProcess("\"" + kTollan + "\"k.txt", 30000, folder_.c_str()).exitCode);
    EXPECT_EQ(before, Contents());
}

TEST_F(Tollan, TouchesNothingUnlessTheLineNamesExactlyOneFile)
{
    for (const char* name : {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k"})
        MakeFile(name, FILE_ATTRIBUTE_READONLY);
    ExpectUntouched("", kUnusable);
    ExpectUntouched("     ", kUnusable);
    ExpectUntouched("\t \t", kUnusable);
    ExpectUntouched("a b", kUnusable);
    ExpectUntouched("a     b   ", kUnusable);
    ExpectUntouched("\"a\" b", kUnusable);
    ExpectUntouched("\"\" a", kUnusable);
    ExpectUntouched("a b c d e f g h i j k", kUnusable);
    ExpectUntouched("a b c d e f g h i j", kUnusable);
}

TEST_F(Tollan, ExitsZeroWhetherOrNotTheDeletionSucceeds)
{
    MakeFile("w1.txt", FILE_ATTRIBUTE_READONLY);
    MakeFile("w2.txt");
    ASSERT_TRUE(CreateDirectoryA(PathOf("folder").c_str(), nullptr));
    MakeFile("folder\\inside.txt");
    MakeFile("a");
    MakeFile("b");
    ExpectUntouched("missing.txt", kDeleted);
    ExpectUntouched("folder", kDeleted);
    ExpectUntouched("\"" + PathOf("folder") + "\"", kDeleted);
    EXPECT_TRUE(Exists("folder\\inside.txt"));
    // Wildcards are part of the name, which names no file.
    ExpectUntouched("w*.txt", kDeleted);
    ExpectUntouched("w?.txt", kDeleted);
    ExpectUntouched("*", kDeleted);
    // A tab does not separate names.
    ExpectUntouched("a\tb", kDeleted);
    // One empty name.
    ExpectUntouched("\"\"", kDeleted);
    // A file held open without share-delete stays, its attributes reset.
    MakeFile("held.txt", FILE_ATTRIBUTE_READONLY);
    HANDLE held = CreateFileA(PathOf("held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    EXPECT_EQ(kDeleted, Run("held.txt"));
    CloseHandle(held);
    EXPECT_TRUE(Exists("held.txt"));
    EXPECT_EQ(0u, Attributes("held.txt") & FILE_ATTRIBUTE_READONLY);
}

// 255 bytes fit a slot; 256 make the line unusable. ".\" repeated keeps such
// names short on disk.
TEST_F(Tollan, ANameLongerThan255BytesMakesTheLineUnusable)
{
    std::string dots;
    for (int i = 0; i < 125; ++i)
        dots += ".\\";
    const std::string longest = dots + "x.txt";   // 255 bytes
    const std::string tooLong = dots + "xy.txt";  // 256 bytes, naming an existing file
    ASSERT_EQ(255u, longest.size());
    ASSERT_EQ(256u, tooLong.size());
    MakeFile("xy.txt", FILE_ATTRIBUTE_READONLY);

    MakeFile("x.txt", FILE_ATTRIBUTE_READONLY);
    ExpectDeleted(longest, "x.txt");
    MakeFile("x.txt", FILE_ATTRIBUTE_READONLY);
    ExpectDeleted("\"" + longest + "\"", "x.txt");

    ExpectUntouched(tooLong, kUnusable);
    ExpectUntouched("\"" + tooLong + "\"", kUnusable);
    ExpectUntouched("\"" + tooLong, kUnusable);
    ExpectUntouched(std::string(4000, 'x'), kUnusable);
    ExpectUntouched("\"" + std::string(30000, ' ') + "\"", kUnusable);
}

// Bytes from 0x80 up are part of a name even at its front: the file named is
// deleted, not the one named by the bytes behind them.
TEST_F(Tollan, AHighByteInFrontOfTheNameIsPartOfIt)
{
    MakeFile("\xe9x.txt", FILE_ATTRIBUTE_READONLY);
    MakeFile("x.txt", FILE_ATTRIBUTE_READONLY);
    ExpectDeleted("\xe9x.txt", "\xe9x.txt");
    MakeFile("\xfc\xe9y.txt");
    MakeFile("y.txt");
    ExpectDeleted("\"\xfc\xe9y.txt\"", "\xfc\xe9y.txt");
}

}  // namespace
