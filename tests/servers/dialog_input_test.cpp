#include "servers/entry_input.h"

#include <gtest/gtest.h>

#include <QString>

#include "servers/server_entry.h"
#include "text/gbk.h"

namespace {

QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}

const std::string kSuffix = ":89/Interface/tarv/tarvAction_appreg.action@1";

TEST(EntryInput, BuildsTheEntryFromTheTextsAsTyped) {
    entry::InputResult result = entry::EntryFromInput(U("A1"), U("192.0.2.10"));
    ASSERT_TRUE(result.ok()) << result.problem.toStdString();
    EXPECT_EQ(result.entry, "A1,http://192.0.2.10" + kSuffix);

    // Spaces are part of what was typed; empty fields still make an entry.
    EXPECT_EQ(entry::EntryFromInput(U(" A 1 "), U(" 10.0.0.1")).entry, " A 1 ,http:// 10.0.0.1" + kSuffix);
    result = entry::EntryFromInput(QString(), QString());
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.entry, ",http://" + kSuffix);
}

TEST(EntryInput, StoresChineseAsGbkAndLetsTrailBytesThatLookLikeDelimitersThrough) {
    entry::InputResult result = entry::EntryFromInput(U("服务器甲"), U("10.0.0.1"));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.entry, gbk::FromUtf8("服务器甲") + ",http://10.0.0.1" + kSuffix);

    // "丂" is 0x81 0x40 in GBK: its second byte is "@" but it is no delimiter, and full-width
    // punctuation is just text.
    QString name = U("丂，＠");
    result = entry::EntryFromInput(name, U("h"));
    ASSERT_TRUE(result.ok()) << result.problem.toStdString();
    EXPECT_EQ(entry::ForPolling(result.entry).name, gbk::FromQString(name));
    EXPECT_EQ(entry::ForPolling(result.entry).flag, "1");
    EXPECT_EQ(entry::ForDisplay(result.entry).address, "http://h:89/Interface/tarv/tarvAction_appreg.action");
}

TEST(EntryInput, RefusesCharactersThatWouldSplitOrCutTheLineInEitherField) {
    struct Case {
        QString name;
        QString ip;
        QString mentions;  // the field and the character the warning must name
    };
    const Case cases[] = {
        {U("a,b"), U("1"), U("服务器名称")},
        {U("a"), U("1,2"), U("服务器IP")},
        {U("a@b"), U("1"), U("“@”")},
        {U("a"), U("1@2"), U("“@”")},
        {U("a\nb"), U("1"), U("换行符")},
        {U("a"), U("1\r"), U("换行符")},
        {U("a"), U("1\r\n2"), U("服务器IP")},
        {QString(QChar(0)) + U("a"), U("1"), U("U+0000")},
        {U("a"), U("1") + QChar(0), U("服务器IP")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString() + " / " + c.ip.toStdString());
        entry::InputResult result = entry::EntryFromInput(c.name, c.ip);
        EXPECT_FALSE(result.ok());
        EXPECT_TRUE(result.entry.empty());
        EXPECT_TRUE(result.problem.contains(c.mentions)) << result.problem.toStdString();
    }
    EXPECT_TRUE(entry::EntryFromInput(U("a,b"), U("1")).problem.contains(U("“,”")));
}

TEST(EntryInput, RefusesWhatGbkCannotEncodeAndNamesTheCharacter) {
    entry::InputResult result = entry::EntryFromInput(U("ok\xF0\x9F\x98\x80"), U("1"));
    EXPECT_FALSE(result.ok());
    EXPECT_TRUE(result.problem.contains(U("服务器名称")));
    EXPECT_TRUE(result.problem.contains(U("\xF0\x9F\x98\x80"))) << result.problem.toStdString();
    EXPECT_TRUE(result.problem.contains(U("U+1F600"))) << result.problem.toStdString();

    // Outside GBK though not an emoji; and half of an emoji.
    EXPECT_FALSE(entry::EntryFromInput(U("a"), U("\xE2\x82\xA9")).ok());  // ₩
    QString lone = U("a") + QChar(0xD83D);
    result = entry::EntryFromInput(lone, U("1"));
    EXPECT_FALSE(result.ok());
    EXPECT_TRUE(result.problem.contains(U("服务器名称"))) << result.problem.toStdString();
}

TEST(EntryInput, NameAndIpShareTheBytesLeftInALine) {
    ASSERT_EQ(entry::kMaxInputBytes, 202u);
    entry::InputResult full = entry::EntryFromInput(QString(150, u'n'), QString(52, u'i'));
    ASSERT_TRUE(full.ok());
    EXPECT_EQ(full.entry.size(), entry::kMaxEntryBytes);

    entry::InputResult over = entry::EntryFromInput(QString(150, u'n'), QString(53, u'i'));
    EXPECT_FALSE(over.ok());
    EXPECT_TRUE(over.problem.contains(U("203"))) << over.problem.toStdString();
    EXPECT_TRUE(over.problem.contains(U("202")));

    // Bytes, not characters: 101 Chinese characters are the whole allowance.
    QString chinese = QString(101, QChar(0x7F51));  // 网
    EXPECT_EQ(entry::InputBytes(chinese), 202u);
    EXPECT_TRUE(entry::EntryFromInput(chinese, QString()).ok());
    EXPECT_FALSE(entry::EntryFromInput(chinese, U("1")).ok());
}

}  // namespace
