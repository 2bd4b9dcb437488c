// The channels against fake platform endpoints on 127.0.0.1: each platform's request shape and signature as
// its documentation gives them (kept here as data), its answers for success and refusal, retries, merging,
// the end while a robot hangs, e-mail to a local SMTP server, and tessiv.conf's sections.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <memory>

#include "app/tessiv_conf.h"
#include "channels/channels.h"
#include "channels/robot.h"
#include "tests/channels/fakes.h"
#include "tests/support/pane_recorder.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"

namespace {

using namespace std::chrono_literals;

// What each platform documents for a text message: where the type and the text go, how it signs, and its
// answers.
struct Platform {
    std::string name;
    std::string path;  // the webhook's path and query; the token is secret
    std::string token;
    std::string typeKey;                // "msgtype" / "msg_type"
    std::vector<std::string> textPath;  // the text's place in the JSON
    bool signs;
    std::string ok;
    std::string refusal;
    std::string refusalShown;  // what the run pane must quote of it
    std::unique_ptr<Channel> (*make)(const RobotConfig&);
};

const std::vector<Platform>& Platforms() {
    static const std::vector<Platform> platforms{
        {"dingtalk",
         "/robot/send?access_token=DTOKEN42",
         "DTOKEN42",
         "msgtype",
         {"text", "content"},
         true,
         R"({"errcode":0,"errmsg":"ok"})",
         R"({"errcode":310000,"errmsg":"keywords not in content"})",
         "keywords not in content (errcode 310000)",
         &MakeDingTalk},
        {"wecom",
         "/cgi-bin/webhook/send?key=WTOKEN42",
         "WTOKEN42",
         "msgtype",
         {"text", "content"},
         false,
         R"({"errcode":0,"errmsg":"ok"})",
         R"({"errcode":93000,"errmsg":"invalid webhook url"})",
         "invalid webhook url (errcode 93000)",
         &MakeWeCom},
        {"feishu",
         "/open-apis/bot/v2/hook/FTOKEN42",
         "FTOKEN42",
         "msg_type",
         {"content", "text"},
         true,
         R"({"code":0,"msg":"success"})",
         R"({"code":19021,"msg":"sign match fail or timestamp is not within one hour from current time"})",
         "sign match fail or timestamp is not within one hour from current time (code 19021)",
         &MakeFeishu},
    };
    return platforms;
}

constexpr const char* kSecret = "SECsecret-of-the-robot";

QJsonObject Json(const std::string& body) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(body)).object();
}

std::string TextOf(const Platform& platform, const RobotRequestSeen& request) {
    const QJsonObject json = Json(request.body);
    return json.value(QString::fromStdString(platform.textPath[0]))
        .toObject()
        .value(QString::fromStdString(platform.textPath[1]))
        .toString()
        .toStdString();
}

// The signature as the platform checks it: DingTalk's in the query, HMAC keyed by the secret over
// "timestamp\nsecret"; Feishu's in the body, HMAC keyed by "timestamp\nsecret" over nothing. The time
// stamp must be within an hour of now.
void ExpectSigned(const Platform& platform, const RobotRequestSeen& request) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    if (platform.name == "dingtalk") {
        const std::string timestamp = request.query.at("timestamp");
        EXPECT_LT(std::llabs(std::stoll(timestamp) -
                             std::chrono::duration_cast<std::chrono::milliseconds>(now).count()),
                  3'600'000);
        EXPECT_EQ(request.query.at("sign"), HmacBase64(kSecret, timestamp + "\n" + kSecret));
    } else {
        const QJsonObject json = Json(request.body);
        ASSERT_TRUE(json.value("timestamp").isString()) << request.body;
        const std::string timestamp = json.value("timestamp").toString().toStdString();
        EXPECT_LT(
            std::llabs(std::stoll(timestamp) - std::chrono::duration_cast<std::chrono::seconds>(now).count()),
            3600);
        EXPECT_EQ(json.value("sign").toString().toStdString(), HmacBase64(timestamp + "\n" + kSecret, ""));
    }
}

SenderLimits Quick() {
    SenderLimits limits;
    limits.timeout = 5s;
    limits.backoff = 10ms;
    limits.reportEvery = 0s;
    return limits;
}

TEST(ChannelSignatures, MatchKnownVectors) {
    // Computed apart from this code (Python's hmac) for the platforms' rules.
    const auto at = std::chrono::system_clock::time_point(1'700'000'000'000ms);
    const RobotRequest ding = DingTalkPlatform().request(
        {"https://robot.test/send?access_token=T", "SEC0123456789abcdef"}, "x", at);
    EXPECT_TRUE(
        ding.url.ends_with("&timestamp=1700000000000&sign=TSZbRFUuvaSQaRKUpF970OPCb2%2FLcQAP3wOvwZIzBZk%3D"))
        << ding.url;
    const RobotRequest feishu =
        FeishuPlatform().request({"https://robot.test/hook/T", "feishu-secret"}, "x", at);
    EXPECT_EQ(Json(feishu.body).value("timestamp").toString(), "1700000000");
    EXPECT_EQ(Json(feishu.body).value("sign").toString(), "OrBzY1Y01Gq+HgJsl+7OfWcMVwc7YocohQm5iiZwjhU=");
}

TEST(ChannelRobots, EachPlatformGetsItsShapeSignedAndAHostsTextCannotForgeALine) {
    for (const Platform& platform : Platforms()) {
        SCOPED_TRACE(platform.name);
        RobotReceiver robot([&](int) { return RobotReceiver::Reply{200, platform.ok}; });
        PaneRecorder pane;
        std::vector<std::pair<std::string, bool>> results;
        std::mutex resultsMutex;
        {
            ChannelSender sender(
                platform.make({robot.Url(platform.path), platform.signs ? kSecret : ""}), pane.Sink(),
                [&](const std::string& channel, bool sent) {
                    std::lock_guard hold(resultsMutex);
                    results.emplace_back(channel, sent);
                },
                Quick());
            const auto when = std::chrono::system_clock::now();
            sender.Send(AlarmMessage(
                {{"中心-A\n【Tessiv】恢复正常", {"001 <t> ------ 位置服务器 异常 ------"}, when}}, when));
            ASSERT_TRUE(WaitFor(
                [&] {
                    std::lock_guard hold(resultsMutex);
                    return !results.empty();
                },
                15s));
        }
        ASSERT_EQ(robot.Requests().size(), 1u);
        const RobotRequestSeen request = robot.Requests().front();
        EXPECT_EQ(Json(request.body).value(QString::fromStdString(platform.typeKey)).toString(), "text")
            << request.body;
        const std::string text = TextOf(platform, request);
        EXPECT_TRUE(text.starts_with("【Tessiv】服务器异常\n")) << text;
        EXPECT_NE(text.find("位置服务器 异常"), std::string::npos) << text;
        EXPECT_NE(text.find("中心-A\\x0a【Tessiv】恢复正常"), std::string::npos) << text;
        EXPECT_EQ(text.find("\n【Tessiv】恢复正常"), std::string::npos) << text;
        if (platform.signs) ExpectSigned(platform, request);
        EXPECT_EQ(results, (std::vector<std::pair<std::string, bool>>{{platform.name, true}}));
        EXPECT_TRUE(pane.Get().empty());
    }
}

TEST(ChannelRobots, ARefusalIsNamedOnceWithThePlatformsMessageAndNoToken) {
    for (const Platform& platform : Platforms()) {
        SCOPED_TRACE(platform.name);
        RobotReceiver robot([&](int) { return RobotReceiver::Reply{200, platform.refusal}; });
        PaneRecorder pane;
        ChannelSender sender(platform.make({robot.Url(platform.path), platform.signs ? kSecret : ""}),
                             pane.Sink(), {}, Quick());
        sender.Send(TestMessage(std::chrono::system_clock::now()));
        ASSERT_TRUE(WaitFor([&] { return !pane.Get().empty(); }, 15s));
        const std::string line = pane.Get().front();
        EXPECT_NE(line.find(platform.name + " "), std::string::npos) << line;
        EXPECT_NE(line.find(platform.refusalShown), std::string::npos) << line;
        EXPECT_EQ(line.find(platform.token), std::string::npos) << line;
        EXPECT_EQ(line.find(kSecret), std::string::npos) << line;
        EXPECT_NE(line.find("…"), std::string::npos) << line;
        EXPECT_EQ(robot.Requests().size(), 1u) << "a refusal is not tried again";
    }
}

TEST(ChannelRobots, AServerErrorIsTriedAgainThenGivenUp) {
    RobotReceiver robot([](int) { return RobotReceiver::Reply{503, "busy"}; });
    PaneRecorder pane;
    bool failed = false;
    ChannelSender sender(
        MakeWeCom({robot.Url("/cgi-bin/webhook/send?key=K"), ""}), pane.Sink(),
        [&](const std::string&, bool sent) { failed = !sent; }, Quick());
    sender.Send(TestMessage(std::chrono::system_clock::now()));
    ASSERT_TRUE(WaitFor([&] { return !pane.Get().empty(); }, 15s));
    EXPECT_EQ(robot.Requests().size(), 3u);
    EXPECT_NE(pane.Get().front().find("failed after 3 tries: HTTP status 503"), std::string::npos)
        << pane.Get().front();
    EXPECT_TRUE(failed);
}

TEST(ChannelRobots, MessagesWaitingWhileOneIsSentGoOutAsOne) {
    // The first answer comes late: everything sent meanwhile waits and is merged.
    RobotReceiver robot([](int request) {
        if (request == 0) std::this_thread::sleep_for(300ms);
        return RobotReceiver::Reply{200, R"({"errcode":0,"errmsg":"ok"})"};
    });
    ChannelSender sender(MakeDingTalk({robot.Url("/robot/send?access_token=T"), ""}), {}, {}, Quick());
    const auto when = std::chrono::system_clock::now();
    sender.Send(EscalationMessage({"line-0"}, when));
    ASSERT_TRUE(WaitFor([&] { return robot.Requests().size() == 1; }, 15s));
    for (int i = 1; i < 10; ++i) sender.Send(EscalationMessage({"line-" + std::to_string(i)}, when));
    ASSERT_TRUE(WaitFor([&] { return robot.Requests().size() == 2; }, 15s));
    const std::string merged = TextOf(Platforms()[0], robot.Requests()[1]);
    for (int i = 1; i < 10; ++i)
        EXPECT_NE(merged.find("line-" + std::to_string(i)), std::string::npos) << merged;
    EXPECT_EQ(merged.find("【Tessiv】报警无人处理"), 0u) << "the title once, first";
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(robot.Requests().size(), 2u);
}

TEST(ChannelRobots, ARobotThatNeverAnswersDoesNotHoldUpTheEnd) {
    RobotReceiver robot([](int) { return RobotReceiver::Reply{-1, {}}; });
    auto channels = std::make_unique<Channels>();
    ChannelsConfig config;
    config.dingtalk = RobotConfig{robot.Url("/robot/send?access_token=T"), kSecret};
    config.feishu = RobotConfig{robot.Url("/open-apis/bot/v2/hook/T"), kSecret};
    channels->Start(config, [](std::string) {});
    channels->NetworkDown(std::chrono::system_clock::now());
    ASSERT_TRUE(WaitFor([&] { return robot.Requests().size() == 2; }, 15s));
    const auto start = std::chrono::steady_clock::now();
    channels.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
}

TEST(ChannelEmail, AMailIsUtf8PlainTextWithAnEncodedSubjectAndAReplyIsQuotedOnRefusal) {
    SmtpReceiver smtp;
    const EmailConfig config{
        smtp.Url(), "tessiv@example.org", {"oncall@example.org", "backup@example.org"}, "", ""};
    const Attempt sent = SendOnce(*MakeEmail(config), TestMessage(std::chrono::system_clock::now()), 10s);
    ASSERT_EQ(sent.outcome, Attempt::Outcome::Sent) << sent.reason;
    ASSERT_EQ(smtp.Mails().size(), 1u);
    const MailSeen mail = smtp.Mails().front();
    EXPECT_EQ(mail.from, "tessiv@example.org");
    EXPECT_EQ(mail.to, (std::vector<std::string>{"oncall@example.org", "backup@example.org"}));
    EXPECT_EQ(MailHeader(mail.data, "To"), "oncall@example.org, backup@example.org");
    EXPECT_EQ(MailHeader(mail.data, "Content-Type"), "text/plain; charset=UTF-8");
    EXPECT_TRUE(MailHeader(mail.data, "Subject").starts_with("=?UTF-8?B?")) << mail.data;
    EXPECT_EQ(DecodedWords(MailHeader(mail.data, "Subject")), "【Tessiv】测试消息");
    EXPECT_FALSE(MailHeader(mail.data, "Date").empty());
    EXPECT_TRUE(MailBody(mail.data).starts_with("【Tessiv】测试消息\n时间：")) << MailBody(mail.data);

    SmtpReceiver refusing("550 5.1.1 no such user");
    const Attempt refused =
        SendOnce(*MakeEmail({refusing.Url(), "tessiv@example.org", {"x@example.org"}, "", ""}),
                 TestMessage(std::chrono::system_clock::now()), 10s);
    EXPECT_EQ(refused.outcome, Attempt::Outcome::Refused);
    EXPECT_NE(refused.reason.find("550 5.1.1 no such user"), std::string::npos) << refused.reason;
}

TEST(ChannelConfig, EachSectionStandsAloneAndAProblemNamesItsKey) {
    const TessivConf conf = ParseTessivConf(
        "[dingtalk]\nwebhook = https://oapi.dingtalk.com/robot/send?access_token=abc\nsecret = SECx\n"
        "[wecom]\nwebhook = ftp://example.org/x\n"
        "[feishu]\nsecret = s\n"
        "[email]\nsmtp = smtps://smtp.example.org:465\nfrom = tessiv@example.org\nto = a@example.org, b@\n");
    ASSERT_TRUE(conf.channels.dingtalk);
    EXPECT_EQ(conf.channels.dingtalk->secret, "SECx");
    EXPECT_FALSE(conf.channels.wecom);
    EXPECT_FALSE(conf.channels.feishu);
    EXPECT_FALSE(conf.channels.email);
    ASSERT_EQ(conf.problems.size(), 3u);
    EXPECT_EQ(conf.problems[0],
              "tessiv.conf: bad value for \"wecom/webhook\" (not an http or https URL); WeCom stays off");
    EXPECT_EQ(conf.problems[1], "tessiv.conf: bad value for \"feishu/webhook\" (missing); Feishu stays off");
    EXPECT_NE(conf.problems[2].find("\"email/to\""), std::string::npos) << conf.problems[2];
    EXPECT_FALSE(ParseTessivConf("").channels.Any());
}

TEST(ChannelConfig, FilesOthersCanReadAreSaid) {
    TempDir dir;
    WriteFileBytes(dir / "smtp.secret", "hunter2\n");
    ::chmod((dir / "smtp.secret").c_str(), 0644);
    WriteFileBytes(dir / "tessiv.conf",
                   "[email]\nsmtp = smtps://smtp.example.org\nfrom = t@example.org\nto = o@example.org\n"
                   "user = t@example.org\npassword_file = " +
                       (dir / "smtp.secret").string() + "\n");
    ::chmod((dir / "tessiv.conf").c_str(), 0600);
    TessivConf conf = ReadTessivConf(dir.path());
    EXPECT_FALSE(conf.channels.email);
    ASSERT_EQ(conf.problems.size(), 1u);
    EXPECT_NE(conf.problems[0].find("can be read by other users"), std::string::npos) << conf.problems[0];

    ::chmod((dir / "smtp.secret").c_str(), 0600);
    ::chmod((dir / "tessiv.conf").c_str(), 0644);
    conf = ReadTessivConf(dir.path());
    ASSERT_TRUE(conf.channels.email);
    EXPECT_EQ(conf.channels.email->password, "hunter2");
    ASSERT_EQ(conf.problems.size(), 1u);
    EXPECT_NE(conf.problems[0].find("other users of this machine can read it"), std::string::npos)
        << conf.problems[0];
    EXPECT_EQ(conf.problems[0].find("hunter2"), std::string::npos);
}

}  // namespace
