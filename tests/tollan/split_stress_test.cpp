// Random command lines, with a fixed seed, against a small model of the
// splitting rules written here: in process on the guarded test build, then a
// sample through the real tollan.exe. TOLLAN_STRESS_LINES and
// TOLLAN_STRESS_RUNS raise the counts for a long run.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>

#include "splitter_harness.h"
#include "wine_test_support.h"

using namespace testing_support;

namespace {

constexpr unsigned kSeed = 20240611;
constexpr size_t kMaxNames = 10;
constexpr size_t kLongestName = 255;

struct Model {
    bool usable = true;
    std::vector<std::string> names;  // up to the first name that is too long
};

// Names are cut out one after another: a blank or the end closes a word; a
// quote takes everything up to the next quote (or the end) onto the word,
// closes it even when empty, and swallows the byte after the closing quote.
// Only the first ten names count; one of them longer than 255 bytes makes
// the line unusable.
Model ModelSplit(const std::string& text)
{
    std::vector<std::string> names;
    std::string word;
    size_t at = 0;
    while (names.size() < kMaxNames && at <= text.size()) {
        if (at == text.size() || text[at] == ' ') {
            if (!word.empty())
                names.push_back(word);
            word.clear();
            ++at;
        } else if (text[at] == '"') {
            const size_t close = text.find('"', at + 1);
            const size_t end = close == std::string::npos ? text.size() : close;
            names.push_back(word + text.substr(at + 1, end - at - 1));
            word.clear();
            at = close == std::string::npos ? text.size() + 1 : close + 2;
        } else {
            word += text[at++];
        }
    }
    Model model;
    for (const std::string& name : names) {
        if (name.size() > kLongestName) {
            model.usable = false;
            break;
        }
        model.names.push_back(name);
    }
    return model;
}

// The tail: the program name (to its closing quote, or to the first byte of
// 0x20 or below) and the bytes 0x01..0x20 behind it removed.
std::string ModelTail(const std::string& commandLine)
{
    size_t at;
    if (!commandLine.empty() && commandLine[0] == '"') {
        const size_t close = commandLine.find('"', 1);
        at = close == std::string::npos ? commandLine.size() : close + 1;
    } else {
        at = 0;
        while (at < commandLine.size() && static_cast<unsigned char>(commandLine[at]) > 0x20)
            ++at;
    }
    while (at < commandLine.size() && static_cast<unsigned char>(commandLine[at]) <= 0x20)
        ++at;
    return commandLine.substr(at);
}

unsigned long CountFromEnvironment(const char* name, unsigned long fallback)
{
    const char* text = std::getenv(name);
    const unsigned long value = text != nullptr ? std::strtoul(text, nullptr, 10) : 0;
    return value > 0 ? value : fallback;
}

// Lines built from pieces that hit the rules' corners: runs of mixed bytes,
// blanks, tabs, quotes opened and not closed, names around 255 bytes, and up
// to a dozen and more names.
class LineMaker {
public:
    // alphabet: the bytes names are made of, besides blanks, tabs and quotes.
    explicit LineMaker(std::string alphabet) : alphabet_(std::move(alphabet)) {}

    std::string Make()
    {
        // Short lines give no name or one; long ones run past ten names.
        const int shape = Pick(0, 3);
        const int pieces = shape == 0 ? Pick(0, 3) : shape == 3 ? Pick(10, 30) : Pick(0, 14);
        std::string line;
        for (int i = 0; i < pieces; ++i) {
            const int kind = Pick(0, 39);
            if (kind < 14)
                line += Word(Pick(1, 10));
            else if (kind < 20)
                line += std::string(Pick(1, 4), ' ');
            else if (kind < 23)
                line += Pick(0, 1) ? "\t" : " \t ";
            else if (kind < 29)
                line += '"' + Quoted(Pick(0, 12)) + (Pick(0, 4) ? "\"" : "");
            else if (kind < 31)
                line += '"';
            else if (kind < 33)
                line += Word(Pick(250, 260));  // around the longest name a slot holds
            else
                line += ' ' + Word(Pick(1, 3)) + ' ';
        }
        return line;
    }

    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

private:
    std::string Word(int length)
    {
        std::string word;
        for (int i = 0; i < length; ++i)
            word += alphabet_[Pick(0, static_cast<int>(alphabet_.size()) - 1)];
        return word;
    }
    std::string Quoted(int length)
    {
        std::string text;
        for (int i = 0; i < length; ++i)
            text += Pick(0, 5) == 0 ? ' ' : alphabet_[Pick(0, static_cast<int>(alphabet_.size()) - 1)];
        return text;
    }

    std::string alphabet_;
    std::mt19937 random_{kSeed};
};

std::string AllBytesButSeparators()
{
    std::string bytes;
    for (int b = 1; b < 256; ++b)
        if (b != ' ' && b != '"')
            bytes += static_cast<char>(b);
    // Letters more often than the rest.
    bytes += "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz0123456789";
    return bytes;
}

std::string Printable(const std::string& text)
{
    std::string shown;
    for (unsigned char c : text.substr(0, 300)) {
        char hex[8];
        std::snprintf(hex, sizeof(hex), c >= 0x21 && c < 0x7F && c != '\\' ? "%c" : "\\x%02x", c);
        shown += hex;
    }
    return shown;
}

TEST(SplitterStress, AgreesWithTheModelAndStaysInsideItsBuffers)
{
    const unsigned long lines = CountFromEnvironment("TOLLAN_STRESS_LINES", 100000);
    LineMaker maker(AllBytesButSeparators());
    unsigned long mismatches = 0, damaged = 0, refused = 0, single = 0, full = 0, longest = 0;
    for (unsigned long i = 0; i < lines; ++i) {
        const std::string line = maker.Make();
        const Model expected = ModelSplit(line);
        const SplitResult actual = SplitWithGuards(line);
        if (!actual.damage.empty() && ++damaged <= 5)
            ADD_FAILURE() << actual.damage << " line: " << Printable(line);
        if ((actual.usable != expected.usable || actual.names != expected.names) && ++mismatches <= 5)
            ADD_FAILURE() << "model and splitter differ on line " << i << ": " << Printable(line);
        refused += !expected.usable;
        single += expected.usable && expected.names.size() == 1;
        full += expected.usable && expected.names.size() == kMaxNames;
        for (const std::string& name : expected.names)
            longest += name.size() == kLongestName;
    }
    std::printf(
        "%lu lines: %lu mismatches, %lu damaged; %lu refused, %lu with one name, %lu with ten, "
        "%lu names of 255 bytes\n",
        lines, mismatches, damaged, refused, single, full, longest);
    EXPECT_EQ(0u, mismatches);
    EXPECT_EQ(0u, damaged);
    // The lines must reach every corner, or the comparison proves little.
    EXPECT_GT(refused, lines / 20);
    EXPECT_GT(single, lines / 100);
    EXPECT_GT(full, lines / 100);
    EXPECT_GT(longest, 0u);
}

// Words of the tail that a careless splitter might take for the name: runs
// between blanks, tabs and quotes, and those runs without their leading
// bytes from 0x80 up.
std::set<std::string> Bystanders(const std::string& tail)
{
    std::set<std::string> words;
    std::string word;
    for (size_t at = 0; at <= tail.size(); ++at) {
        const char c = at < tail.size() ? tail[at] : ' ';
        if (c != ' ' && c != '\t' && c != '"') {
            word += c;
            continue;
        }
        size_t high = 0;
        while (high < word.size() && static_cast<unsigned char>(word[high]) >= 0x80)
            ++high;
        for (const std::string& w : {word, word.substr(high)})
            if (!w.empty() && w.size() < 100)
                words.insert(w);
        word.clear();
    }
    return words;
}

// Makes name as a read-only file in folder unless something of that name is
// there already (names that differ only in case or trailing blanks meet).
bool MakeFile(const std::string& folder, const std::string& name)
{
    if (name.empty())
        return false;
    HANDLE file = CreateFileA((folder + "\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_READONLY, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

// The real program on a sample. The names the model finds, and bystanders,
// are made as files in a scratch folder first; afterwards exactly the named
// file is gone when the model finds exactly one name, and nothing otherwise.
TEST(SplitterStress, TheRealProgramAgreesOnASample)
{
    const std::string tollan = WindowsPath(TOLLAN_EXE);
    const unsigned long runs = CountFromEnvironment("TOLLAN_STRESS_RUNS", 50);
    char temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathA(MAX_PATH, temp));
    const std::string folder = std::string(temp) + "tollan-stress-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);

    // No device names (con, nul, aux ...) can be formed from these, and no
    // two of them are the same letter in another case.
    LineMaker maker("xyzqk0123\xe9\xfc\xc4\x81");
    unsigned long deletions = 0, kept = 0;
    for (unsigned long run = 0; run < runs; ++run) {
        const bool quoteProgram = maker.Pick(0, 1) == 1;
        const std::string commandLine =
            (quoteProgram ? "\"" + tollan + "\"" : tollan) + (maker.Pick(0, 3) ? " " : " \t ") + maker.Make();
        const std::string tail = ModelTail(commandLine);
        const Model expected = ModelSplit(tail);
        const bool one = expected.usable && expected.names.size() == 1;
        std::vector<std::pair<std::string, bool>> files;  // name, whether it must go
        for (const std::string& name : expected.names)
            if (MakeFile(folder, name))
                files.emplace_back(name, one);
        for (const std::string& word : Bystanders(tail))
            if (MakeFile(folder, word))
                files.emplace_back(word, false);

        const ProcessResult result = RunProcess(commandLine, 30000, folder.c_str());
        ASSERT_TRUE(result.finished) << Printable(commandLine);
        EXPECT_EQ(one ? 0u : 0xFFFFFFFFu, result.exitCode) << "line: " << Printable(commandLine);
        for (const auto& [name, mustGo] : files) {
            const std::string path = folder + "\\" + name;
            const bool gone = GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES;
            EXPECT_EQ(mustGo, gone) << Printable(name) << " in line: " << Printable(commandLine);
            deletions += mustGo && gone;
            kept += !gone;
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(path.c_str());
        }
    }
    RemoveDirectoryA(folder.c_str());
    std::printf("%lu runs of tollan.exe: %lu deleted the file they named; %lu files were rightly kept\n", runs,
                deletions, kept);
    EXPECT_GT(deletions, 0u);
}

}  // namespace
