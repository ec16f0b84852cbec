// The command-line tail and its splitting into names, on buffers, against the
// guarded test build: every case also checks that nothing was written outside
// the slots filled and that nothing behind the terminating zero was read.
#include <gtest/gtest.h>

#include "command_line_tail.h"
#include "split_command_line.h"
#include "splitter_harness.h"

namespace {

using Names = std::vector<std::string>;

Names NamesOf(const std::string& text)
{
    const SplitResult result = SplitWithGuards(text);
    EXPECT_EQ("", result.damage) << "text: " << text;
    EXPECT_TRUE(result.usable) << "text: " << text;
    return result.names;
}

TEST(SplitCommandLine, BlanksOnlySeparate)
{
    EXPECT_EQ(Names{}, NamesOf(""));
    EXPECT_EQ(Names{}, NamesOf("    "));
    EXPECT_EQ(Names{"a.txt"}, NamesOf("a.txt"));
    EXPECT_EQ(Names{"a.txt"}, NamesOf("a.txt   "));
    EXPECT_EQ((Names{"a", "b"}), NamesOf("a b"));
    EXPECT_EQ((Names{"a", "b"}), NamesOf("  a    b  "));
    // Tabs and every other byte but the blank and the quote belong to a name.
    EXPECT_EQ(Names{"a\tb"}, NamesOf("a\tb"));
    EXPECT_EQ(Names{"\x01\x7f\x80\xff\x81\\*?"}, NamesOf("\x01\x7f\x80\xff\x81\\*?"));
}

TEST(SplitCommandLine, QuotesHoldBlanksAndAlwaysEndAName)
{
    EXPECT_EQ(Names{"D:\\My Files\\a b.txt"}, NamesOf("\"D:\\My Files\\a b.txt\""));
    EXPECT_EQ(Names{""}, NamesOf("\"\""));
    EXPECT_EQ((Names{"", "x"}), NamesOf("\"\" x"));
    // Bytes gathered before the quote stay at the front of the name.
    EXPECT_EQ(Names{"abx y"}, NamesOf("ab\"x y\""));
}

TEST(SplitCommandLine, PassesOverTheByteBehindAClosingQuote)
{
    EXPECT_EQ(Names{"abc"}, NamesOf("\"abc\"d"));
    EXPECT_EQ((Names{"abc", "e"}), NamesOf("\"abc\"de"));
    EXPECT_EQ((Names{"abx y", "w"}), NamesOf("ab\"x y\"z w"));
    // Two quotes in a row: the second is the byte passed over.
    EXPECT_EQ((Names{"a", "b"}), NamesOf("\"a\"\" b\""));
    // A closing quote as the last byte: the terminating zero is not passed
    // over, so the bytes behind it are never read as names.
    EXPECT_EQ(Names{"abc"}, NamesOf("\"abc\""));
    EXPECT_EQ((Names{"x", "abc"}), NamesOf("x \"abc\""));
}

TEST(SplitCommandLine, AnUnclosedQuoteRunsToTheEnd)
{
    EXPECT_EQ(Names{"a b c "}, NamesOf("\"a b c "));
    EXPECT_EQ(Names{"x"}, NamesOf("x\""));
    EXPECT_EQ(Names{""}, NamesOf("\""));
    EXPECT_EQ((Names{"a", "b c"}), NamesOf("a \"b c"));
}

TEST(SplitCommandLine, StoresTenNamesAtMost)
{
    EXPECT_EQ((Names{"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}), NamesOf("a b c d e f g h i j k"));
    EXPECT_EQ((Names{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}),
              NamesOf("1 2 3 4 5 6 7 8 9 \"10\"11 12 \"13"));
    // Text behind the tenth name is not examined, however long its names are.
    EXPECT_EQ(10u, NamesOf("a b c d e f g h i j " + std::string(5000, 'k')).size());
}

TEST(SplitCommandLine, FillsOnFromNameCount)
{
    const SplitResult result = SplitAfter({"x", "y", "z"}, "a b c d e f g h");
    EXPECT_EQ("", result.damage);
    EXPECT_TRUE(result.usable);
    EXPECT_EQ((Names{"a", "b", "c", "d", "e", "f", "g"}), result.names);
    EXPECT_EQ(10, NameCount);
}

// A slot and the current-name buffer hold 255 bytes and a terminator; a
// longer name makes the whole line unusable.
TEST(SplitCommandLine, RefusesANameLongerThanASlot)
{
    const std::string longest(255, 'n');
    const std::string tooLong(256, 'n');
    struct Case {
        std::string text;
        bool usable;
    } cases[] = {
        {longest, true},
        {tooLong, false},
        {"\"" + longest + "\"", true},
        {"\"" + tooLong + "\"", false},
        {"\"" + tooLong, false},                    // unclosed
        {"ab\"" + longest.substr(2) + "\"", true},  // gathered before and inside the quote
        {"ab\"" + longest.substr(1) + "\"", false},
        {"x " + tooLong + " y", false},  // second name
        {"a b c " + tooLong, false},
        {"a b c d e f g h i " + tooLong, false},  // as the tenth name
        {std::string(100000, 'n'), false},
        {"\"" + std::string(100000, ' ') + "\"", false},
    };
    for (const Case& c : cases) {
        const SplitResult result = SplitWithGuards(c.text);
        EXPECT_EQ(c.usable, result.usable) << "length " << c.text.size();
        EXPECT_EQ("", result.damage) << "length " << c.text.size();
        if (c.usable) {
            ASSERT_EQ(1u, result.names.size());
            EXPECT_EQ(255u, result.names[0].size());
        }
    }
    // What was stored before the long name stays as it was.
    const SplitResult second = SplitWithGuards("first " + tooLong);
    EXPECT_EQ(Names{"first"}, second.names);
}

TEST(CommandLineTail, PassesOverTheProgramNameAndTheWhiteSpaceBehindIt)
{
    EXPECT_STREQ("a b", CommandLineTail("tollan.exe a b"));
    EXPECT_STREQ("", CommandLineTail("tollan.exe"));
    EXPECT_STREQ("", CommandLineTail("tollan.exe \t  "));
    EXPECT_STREQ("x ", CommandLineTail("\"C:\\My Tools\\tollan.exe\" \t\x01 x "));
    EXPECT_STREQ("x y", CommandLineTail("tollan.exe\x01x y"));
    // A quoted program name ends at its closing quote; an unquoted one at a
    // byte of 0x20 or below, quotes included.
    EXPECT_STREQ("x y", CommandLineTail("\"tollan.exe\"x y"));
    EXPECT_STREQ("x\" y", CommandLineTail("tol\"lan.exe x\" y"));
    EXPECT_STREQ("", CommandLineTail("\"C:\\My Tools\\tollan.exe x"));
    EXPECT_STREQ("", CommandLineTail("\""));
    EXPECT_STREQ("", CommandLineTail(""));
    // Quotes around the first name are the splitter's, not white space.
    EXPECT_STREQ("\"a b\"", CommandLineTail("tollan.exe \"a b\""));
}

TEST(CommandLineTail, BytesFromTheHighHalfAreNotWhiteSpace)
{
    EXPECT_STREQ("\xe9x.txt", CommandLineTail("tollan.exe \xe9x.txt"));
    EXPECT_STREQ("\x81\x8d\xff", CommandLineTail("tollan.exe  \x81\x8d\xff"));
    EXPECT_STREQ("y", CommandLineTail("C:\\\xdc"
                                      "ber\\tollan.exe y"));
    EXPECT_STREQ("\x7f", CommandLineTail("tollan.exe \x7f"));
}

}  // namespace
