// [history] in tessiv.conf: its two keys, and a bad one reported like any other and keeping the history off.
#include <gtest/gtest.h>

#include "app/tessiv_conf.h"

namespace {

TEST(HistoryConfig, KeysAreTakenAndABadValueIsNamedAndKeepsTheHistoryOff) {
    const TessivConf none = ParseTessivConf("");
    EXPECT_TRUE(none.history.enabled);
    EXPECT_EQ(none.history.keepDays, 400);

    const TessivConf set = ParseTessivConf("[history]\nenabled = true\nkeep_days = 3650\n");
    EXPECT_TRUE(set.problems.empty());
    EXPECT_TRUE(set.history.enabled);
    EXPECT_EQ(set.history.keepDays, 3650);
    EXPECT_FALSE(ParseTessivConf("[history]\nenabled = false\n").history.enabled);

    for (const std::string bad :
         {"keep_days = 0", "keep_days = 3651", "keep_days = 30d", "enabled = yes", "keep_dayz = 30"}) {
        const TessivConf config = ParseTessivConf("[history]\n" + bad + "\n");
        ASSERT_EQ(config.problems.size(), 1u) << bad;
        const std::string key = "history/" + bad.substr(0, bad.find(' '));
        EXPECT_NE(config.problems[0].find(key), std::string::npos) << config.problems[0];
        EXPECT_FALSE(config.history.enabled) << bad;
    }
}

}  // namespace
