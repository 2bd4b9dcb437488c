#include "servers/next_token.h"

#include <gtest/gtest.h>

#include "servers/server_entry.h"

namespace {

TEST(NextToken, CutsAtTheFirstDelimiterAndDropsIt) {
    std::string source = "A1,http://h@1";
    EXPECT_EQ(NextToken(source, "@"), "A1,http://h");
    EXPECT_EQ(source, "1");
    EXPECT_EQ(NextToken(source, "@"), "1");
    EXPECT_EQ(source, "");
    EXPECT_EQ(NextToken(source, "@"), "");
}

TEST(NextToken, AnyOfAndWholeMatching) {
    std::string anyOf = "a;b,c";
    EXPECT_EQ(NextToken(anyOf, ",;"), "a");
    EXPECT_EQ(anyOf, ",c");  // skips the length of the whole delimiter text
    std::string whole = "a,;b,c";
    EXPECT_EQ(NextToken(whole, ",;", Trim::No, Match::Whole), "a");
    EXPECT_EQ(whole, "b,c");
}

TEST(NextToken, TrimsTheResultOnly) {
    std::string source = "  name , rest ";
    EXPECT_EQ(NextToken(source, ",", Trim::Yes), "name");
    EXPECT_EQ(source, " rest ");
}

// A lead byte followed by a byte that cannot close a character (a damaged name) stands alone: the comma
// behind it still separates the name from the URL, for polling and for the list alike.
TEST(NextToken, AnInvalidLeadByteBeforeTheSeparatorDoesNotSwallowIt) {
    const std::string entry = "Center\xB1,http://192.0.2.10:89/s@1";
    const entry::PollView polled = entry::ForPolling(entry);
    EXPECT_EQ(polled.name, "Center\xB1");
    EXPECT_EQ(polled.url, "http://192.0.2.10:89/s");
    EXPECT_EQ(entry::ForDisplay(entry).address, "http://192.0.2.10:89/s");
}

TEST(NextToken, IgnoresDelimiterBytesInsideGbkCharacters) {
    std::string source =
        "\x81\x40"
        "x@1";  // the first character's trail byte is '@'
    EXPECT_EQ(NextToken(source, "@"), "\x81\x40x");
    EXPECT_EQ(source, "1");
}

TEST(ServerEntry, BuildsAndChangesFlags) {
    std::string line = entry::Build("A1", "192.0.2.10");
    EXPECT_EQ(line, "A1,http://192.0.2.10:89/Interface/tarv/tarvAction_appreg.action@1");
    EXPECT_EQ(line.size(), 2 + 10 + entry::kFixedBytes);
    EXPECT_EQ(entry::WithFlag(line, "0"),
              "A1,http://192.0.2.10:89/Interface/tarv/tarvAction_appreg.action@0");
    EXPECT_EQ(entry::WithFlag("no-at-sign", "1"), "no-at-sign@1");
    EXPECT_EQ(entry::WithFlag("a@b@c", "0"), "a@0");
}

TEST(ServerEntry, PollViewKeepsSpacesAndPausesOnlyOnZero) {
    entry::PollView view = entry::ForPolling(" A1 ,http://h:89/x@ 0");
    EXPECT_EQ(view.name, " A1 ");
    EXPECT_EQ(view.url, "http://h:89/x");
    EXPECT_EQ(view.flag, " 0");
    EXPECT_FALSE(view.paused());
    for (const char* flag : {"1", "", "00", " 0", "0 "})
        EXPECT_FALSE(entry::ForPolling(std::string("A,u@") + flag).paused()) << "flag '" << flag << "'";
    EXPECT_TRUE(entry::ForPolling("A,u@0").paused());
    EXPECT_TRUE(entry::ForPolling("A,u@0@junk").paused());
    entry::PollView noComma = entry::ForPolling("just-a-name@1");
    EXPECT_EQ(noComma.name, "just-a-name");
    EXPECT_EQ(noComma.url, "");
}

TEST(ServerEntry, DisplayViewTrimsAndMatchesWhole) {
    entry::DisplayView view = entry::ForDisplay("  A1  , http://h:89/x @1");
    EXPECT_EQ(view.name, "A1");
    EXPECT_EQ(view.address, "http://h:89/x");
    EXPECT_TRUE(view.running());
    EXPECT_FALSE(entry::ForDisplay("A,u").running());
    EXPECT_FALSE(entry::ForDisplay("A,u@0").running());
    EXPECT_EQ(entry::DisplayName(""), "");
}

}  // namespace
