#include "core/pane_text.h"

#include <gtest/gtest.h>

namespace {

TEST(PaneText, NewestEntryFirstEachWithCrLf) {
    std::string pane;
    PrependPaneText(pane, "first");
    PrependPaneText(pane, "second");
    EXPECT_EQ(pane, "second\r\nfirst\r\n");
}

TEST(PaneText, CapCutsOnlyFromFiveThousandAndOneBytes) {
    struct Case {
        std::size_t before;
        std::size_t after;
    } const cases[] = {{4994, 4999}, {4995, 5000}, {4996, 5000}, {9000, 5000}};
    for (const Case& c : cases) {
        std::string pane(c.before, 'o');
        PrependPaneText(pane, "new");  // adds 5 bytes: "new" + CR LF
        EXPECT_EQ(pane.size(), c.after) << c.before;
        EXPECT_EQ(pane, ("new\r\n" + std::string(c.before, 'o')).substr(0, c.after)) << c.before;
    }
}

TEST(PaneText, CutMayFallInsideTheLineEndOrACharacter) {
    std::string pane(4996, 'o');
    PrependPaneText(pane, "abc");  // "abc\r\n" + 4996 bytes = 5001: the last 'o' goes
    EXPECT_EQ(pane.size(), 5000u);
    EXPECT_EQ(pane.substr(0, 5), "abc\r\n");

    std::string line(4999, 'x');
    std::string cut;
    PrependPaneText(cut, line);  // 4999 + CR LF: the LF goes
    EXPECT_EQ(cut, line + "\r");

    std::string wide;
    PrependPaneText(wide, "x" + std::string(5000, '\xCD'));
    EXPECT_EQ(wide.size(), 5000u);  // ends on a lone lead byte
}

TEST(PaneText, SingleTextLongerThanTheCapKeepsItsStart) {
    std::string pane = "old\r\n";
    std::string text;
    for (int i = 0; i < 700; ++i) text += "line" + std::to_string(i) + ";";
    PrependPaneText(pane, text);
    EXPECT_EQ(pane, text.substr(0, 5000));
}

}  // namespace
