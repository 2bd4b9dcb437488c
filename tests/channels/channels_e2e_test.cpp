// A fault on a real status host, the core with the additions as `tessiv --headless` attaches them, and fake
// DingTalk, WeCom and Feishu endpoints and an SMTP server: one signed, well-formed message each for the
// round, then the recovery, which the hook is told of too. No secret reaches the output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include "app/additions.h"
#include "core/monitor_core.h"
#include "service/stdout_view.h"
#include "tests/channels/fakes.h"
#include "tests/integrations/support.h"
#include "tests/support/free_port.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"
#include "tools/status_host.h"

namespace {

using namespace std::chrono_literals;

const Scenario kThreeFaults{.apps = {{"位置服务器", "2012-05-06 06:00:00"},
                                     {"空间不足", "2012-05-06 06:01:00"},
                                     {"数据库日志需要清理", "2012-05-06 06:02:00"}}};
constexpr const char* kSecret = "SECe2e-secret";

std::string Text(const std::string& body, const char* outer, const char* inner) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(body))
        .object()
        .value(outer)
        .toObject()
        .value(inner)
        .toString()
        .toStdString();
}

TEST(ChannelsEndToEnd, ARoundsAlarmsReachEveryChannelAsOneSignedMessageAndTheRecoveryFollows) {
    int argc = 1;
    char name[] = "channels";
    char* argv[] = {name};
    QCoreApplication app(argc, argv);
    const RobotReceiver::Reply ok{200, R"({"errcode":0,"errmsg":"ok"})"};
    RobotReceiver ding([&](int) { return ok; });
    RobotReceiver wecom([&](int) { return ok; });
    RobotReceiver feishu([](int) { return RobotReceiver::Reply{200, R"({"code":0,"msg":"success"})"}; });
    SmtpReceiver smtp;
    // Faulty for the first round, normal after.
    StatusHost host([](int request) { return request == 0 ? kThreeFaults : Scenario{}; });

    TempDir dir;
    WriteFileBytes(dir / "Setting.ini", gbk::FromUtf8("中心-A," + host.url() + "@1") + "\r\n");
    WriteScript(dir.path(), "hook.sh",
                "printf 'category=%s server=%s line=%s\\n' \"$TESSIV_CATEGORY\" \"$TESSIV_SERVER\" "
                "\"$TESSIV_LINE\" >> " +
                    (dir / "seen").string());
    const int metricsPort = FreePort();
    WriteFileBytes(
        dir / "tessiv.conf",
        "[metrics]\nlisten = 127.0.0.1:" + std::to_string(metricsPort) +
            "\n[hooks]\ncommand = " + (dir / "hook.sh").string() +
            "\n[dingtalk]\nwebhook = " + ding.Url("/robot/send?access_token=DTOK") + "\nsecret = " + kSecret +
            "\n[wecom]\nwebhook = " + wecom.Url("/cgi-bin/webhook/send?key=WTOK") +
            "\n[feishu]\nwebhook = " + feishu.Url("/open-apis/bot/v2/hook/FTOK") + "\nsecret = " + kSecret +
            "\n[email]\nsmtp = " + smtp.Url() + "\nfrom = tessiv@example.org\nto = oncall@example.org\n");
    const int out = ::open((dir / "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    {
        StdoutView view(out);
        Additions additions;
        MonitorSettings settings;
        settings.dataDir = dir.path();
        settings.pacing = {0ms, 0ms, 0ms, 30ms};
        additions.Prepare(settings);
        MonitorCore core(std::move(settings), view);
        additions.Attach(core);
        core.Start();
        const auto recovered = [](const std::vector<RobotRequestSeen>& requests) {
            std::string all;
            for (const RobotRequestSeen& request : requests) all += request.body;
            return all.find("【Tessiv】服务器已恢复") != std::string::npos &&
                   all.find("【Tessiv】恢复正常") != std::string::npos;
        };
        const auto mailed = [&] {
            std::string all;
            for (const MailSeen& mail : smtp.Mails()) all += MailBody(mail.data);
            return all.find("【Tessiv】服务器已恢复") != std::string::npos &&
                   all.find("【Tessiv】恢复正常") != std::string::npos;
        };
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return recovered(ding.Requests()) && recovered(wecom.Requests()) &&
                       recovered(feishu.Requests()) && mailed() &&
                       Count(ReadFileBytes(dir / "seen"), "category=recovered") == 1;
            },
            15000))
            << ReadFileBytes(dir / "stdout.txt");
        // Each channel's deliveries are counted.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                const auto samples = Scrape(metricsPort);
                const auto sent = samples.find("tessiv_channel_sent_total{channel=\"dingtalk\"}");
                return sent != samples.end() && sent->second >= 2;
            },
            15000));
        for (const auto& [sample, value] : Scrape(metricsPort)) {
            EXPECT_EQ(sample.find("tessiv_channel_failed_total"), std::string::npos) << sample;
            EXPECT_EQ(sample.find("TOK"), std::string::npos) << sample;
        }
        core.Stop();
    }
    ::close(out);

    // The round's three lines in one message, first, signed where the robot has a secret.
    const std::vector<std::string> lines{"位置服务器 2012-05-06 06:00:00", "空间不足 2012-05-06 06:01:00",
                                         "数据库日志需要清理 2012-05-06 06:02:00"};
    auto expectAlarm = [&](const std::string& text) {
        EXPECT_TRUE(text.starts_with("【Tessiv】服务器异常\n")) << text;
        EXPECT_NE(text.find("中心-A（自 "), std::string::npos) << text;
        for (const std::string& line : lines) EXPECT_EQ(Count(text, line), 1u) << text;
    };
    const RobotRequestSeen first = ding.Requests().front();
    expectAlarm(Text(first.body, "text", "content"));
    EXPECT_EQ(first.query.at("sign"), HmacBase64(kSecret, first.query.at("timestamp") + "\n" + kSecret));
    expectAlarm(Text(wecom.Requests().front().body, "text", "content"));
    const std::string feishuBody = feishu.Requests().front().body;
    expectAlarm(Text(feishuBody, "content", "text"));
    const QJsonObject feishuJson = QJsonDocument::fromJson(QByteArray::fromStdString(feishuBody)).object();
    EXPECT_EQ(feishuJson.value("sign").toString().toStdString(),
              HmacBase64(feishuJson.value("timestamp").toString().toStdString() + "\n" + kSecret, ""));
    expectAlarm(MailBody(smtp.Mails().front().data));
    EXPECT_EQ(DecodedWords(MailHeader(smtp.Mails().front().data, "Subject")), "【Tessiv】服务器异常");

    // The recovery names the host and how long its outage lasted; the hook gets it with the server.
    std::string all;
    for (const RobotRequestSeen& request : ding.Requests())
        all += Text(request.body, "text", "content") + "\n";
    EXPECT_NE(all.find("中心-A 已恢复，异常持续 "), std::string::npos) << all;
    EXPECT_NE(all.find("【Tessiv】恢复正常"), std::string::npos) << all;
    const std::string seen = ReadFileBytes(dir / "seen");
    EXPECT_NE(seen.find("category=recovered server=中心-A line=恢复正常，异常持续 "), std::string::npos)
        << seen;

    const std::string output = ReadFileBytes(dir / "stdout.txt");
    for (const char* secret : {"DTOK", "WTOK", "FTOK", kSecret})
        EXPECT_EQ(output.find(secret), std::string::npos);
}

}  // namespace
