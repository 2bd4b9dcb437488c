// `tessiv --test-notify` as a user runs it: one line per channel, hook and webhook, and the exit status.
#include <gtest/gtest.h>

#include "tests/channels/fakes.h"
#include "tests/integrations/support.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome TestNotify(const TempDir& dir) {
    ChildProcess child(
        {TESSIV_EXECUTABLE, "--test-notify", "--data-dir", dir.path().string()},
        {.unset = {"DISPLAY", "WAYLAND_DISPLAY"}, .stdoutFile = dir / "out", .stderrFile = dir / "err"});
    EXPECT_TRUE(child.WaitEnd(60s)) << child.Describe();
    return {child.ExitCode(), ReadFileBytes(dir / "out"), ReadFileBytes(dir / "err")};
}

TEST(TestNotify, SaysOkOrWhyForEachAndExitsOneUnlessAllSucceeded) {
    RobotReceiver ding([](int) { return RobotReceiver::Reply{200, R"({"errcode":0,"errmsg":"ok"})"}; });
    RobotReceiver wecom([](int) {
        return RobotReceiver::Reply{200, R"({"errcode":93000,"errmsg":"invalid webhook url"})"};
    });
    RobotReceiver feishu([](int) { return RobotReceiver::Reply{500, "down"}; });
    SmtpReceiver smtp;
    Receiver webhook;
    TempDir dir;
    const std::string good =
        "[dingtalk]\nwebhook = " + ding.Url("/robot/send?access_token=DTOK") +
        "\nsecret = SECsecret\n[email]\nsmtp = " + smtp.Url() +
        "\nfrom = tessiv@example.org\nto = oncall@example.org\n[hooks]\nwebhook = " + webhook.url() +
        "\ncommand = true\n";
    WriteFileBytes(dir / "tessiv.conf",
                   good + "[wecom]\nwebhook = " + wecom.Url("/cgi-bin/webhook/send?key=WTOK") +
                       "\n[feishu]\nwebhook = " + feishu.Url("/open-apis/bot/v2/hook/FTOK") + "\n");
    Outcome run = TestNotify(dir);
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_EQ(run.out,
              "dingtalk: ok\nwecom: invalid webhook url (errcode 93000)\nfeishu: HTTP status 500\nemail: "
              "ok\nhook: ok\n"
              "webhook: ok\n");
    for (const char* secret : {"DTOK", "WTOK", "FTOK", "SECsecret"})
        EXPECT_EQ((run.out + run.err).find(secret), std::string::npos) << secret;
    ASSERT_EQ(ding.Requests().size(), 1u);
    EXPECT_NE(ding.Requests().front().body.find("【Tessiv】测试消息"), std::string::npos);
    EXPECT_EQ(smtp.Mails().size(), 1u);
    EXPECT_EQ(webhook.Requests(), 1);

    WriteFileBytes(dir / "tessiv.conf", good);
    run = TestNotify(dir);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "dingtalk: ok\nemail: ok\nhook: ok\nwebhook: ok\n");
}

}  // namespace
