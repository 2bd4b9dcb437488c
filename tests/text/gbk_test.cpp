#include "text/gbk.h"

#include <gtest/gtest.h>

#include <QString>

namespace {

// "网站" and "数据" in GBK.
const std::string kWangZhan = "\xCD\xF8\xD5\xBE";

TEST(GbkConversion, RoundTripsChineseText) {
    std::string bytes = gbk::FromUtf8("网站");
    EXPECT_EQ(bytes, kWangZhan);
    EXPECT_EQ(gbk::ToQString(bytes), QString::fromUtf8("网站"));
    EXPECT_EQ(gbk::FromQString(QString::fromUtf8("服务器 A1")), gbk::FromUtf8("服务器 A1"));
}

TEST(GbkConversion, BrokenBytesBecomeReplacementCharactersWithoutLosingTheRest) {
    // A lead byte cut off at the end, as the pane cap can leave it.
    QString text = gbk::ToQString(kWangZhan + "\xCD");
    EXPECT_EQ(text, QString::fromUtf8("网站\xEF\xBF\xBD"));
    // An invalid pair in the middle keeps the text after it.
    EXPECT_TRUE(gbk::ToQString("a\xFF"
                               "b")
                    .endsWith(QLatin1Char('b')));
}

TEST(GbkConversion, StrictConversionRefusesWhatGbkCannotHold) {
    EXPECT_EQ(gbk::FromQStringStrict(QString::fromUtf8("网站")), kWangZhan);
    EXPECT_EQ(gbk::FromQStringStrict(QString::fromUtf8("A\xF0\x9F\x98\x80")), std::nullopt);
    EXPECT_EQ(gbk::FromQString(QString::fromUtf8("A\xF0\x9F\x98\x80"
                                                 "B")),
              "A?B");
}

TEST(GbkFind, NeverMatchesOnATrailByte) {
    // "丂" is 0x81 0x40: its trail byte is '@'. "@" itself only matches the real one behind it.
    std::string text = "\x81\x40@";
    EXPECT_EQ(gbk::Find(text, "@"), 2u);
    // The trail byte of 网 (0xF8) followed by the lead of 站 (0xD5) is not a character pair.
    EXPECT_EQ(gbk::Find(kWangZhan, "\xF8\xD5"), std::string::npos);
    EXPECT_EQ(gbk::Find(kWangZhan, "\xD5\xBE"), 2u);
    EXPECT_FALSE(
        gbk::Contains("\xB0"
                      "msg",
                      "msg"));  // a lead byte swallows the ASCII byte behind it
}

TEST(GbkFind, FindsAsciiKeywordsAndRespectsTheStart) {
    std::string text = "errmsg <app><app>";
    EXPECT_EQ(gbk::Find(text, "msg"), 3u);
    EXPECT_EQ(gbk::Find(text, "<app>", 8), 12u);
    EXPECT_EQ(gbk::Find(text, "nothing"), std::string::npos);
    EXPECT_EQ(gbk::Find("", "msg"), std::string::npos);
}

TEST(GbkReplaceAll, ReplacesEveryPlaceholderOnceLeftToRight) {
    std::string text = "[A] and [A]";
    gbk::ReplaceAll(text, "[A]", "x[A]");
    EXPECT_EQ(text, "x[A] and x[A]");  // the inserted value is not scanned again
}

}  // namespace
