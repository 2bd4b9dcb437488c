// tessiv.conf as a file on disk, its hook command line and its metrics address, each through the start of
// the additions as the program does it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QString>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>

#include "app/tessiv_conf.h"
#include "integrations/command_line.h"
#include "integrations/integrations.h"
#include "tests/integrations/support.h"
#include "tests/support/free_port.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kAllOff =
    "the hook command, the webhook, the metrics endpoint, the alarm's channels and the status page stay off";

// Run-pane lines from the time stamp on, as UTF-8.
std::vector<std::string> Texts(const std::vector<std::string>& gbkLines) {
    std::vector<std::string> texts;
    for (const std::string& line : gbkLines) {
        const std::string utf8 = gbk::ToQString(line).toStdString();
        const auto stamp = utf8.find("> ");
        texts.push_back(stamp == std::string::npos ? utf8 : utf8.substr(stamp + 2));
    }
    return texts;
}

std::uint64_t BytesReadSoFar() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return 0;
}

struct StartOutcome {
    bool ended = false;  // false: the start still had not returned after 20 s
    std::vector<std::string> lines;
    bool anythingOn = true;
    std::uint64_t bytesRead = 0;
};

// Starts the additions on `dir` in a child process, which may hang or run out of memory on a hostile file
// without taking the test with it; as the unprivileged user "nobody" when asked, since root reads any file.
StartOutcome StartInChild(const std::filesystem::path& dir, bool asNobody) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return {};
    const pid_t child = ::fork();
    if (child == 0) {
        // Whatever happens, the child never returns into the test.
        try {
            ::close(pipeEnds[0]);
            if (asNobody && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
            std::vector<std::string> lines;
            const std::uint64_t before = BytesReadSoFar();
            Integrations integrations;
            StartFromConf(integrations, dir,
                          [&lines](std::string line) { lines.push_back(std::move(line)); });
            std::ostringstream report;
            report << BytesReadSoFar() - before << ' '
                   << (integrations.Hooks() || integrations.Webhook() || integrations.Metrics()) << '\n';
            for (const std::string& line : Texts(lines)) report << line << '\n';
            const std::string text = report.str();
            for (std::size_t done = 0; done < text.size();) {
                const ssize_t wrote = ::write(pipeEnds[1], text.data() + done, text.size() - done);
                if (wrote <= 0) ::_exit(3);
                done += static_cast<std::size_t>(wrote);
            }
        } catch (...) {
            ::_exit(4);
        }
        ::_exit(0);
    }
    ::close(pipeEnds[1]);
    std::string text;
    bool ended = false;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (child > 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd wait{pipeEnds[0], POLLIN, 0};
        if (::poll(&wait, 1, 100) <= 0) continue;
        char buffer[4096];
        const ssize_t got = ::read(pipeEnds[0], buffer, sizeof buffer);
        if (got <= 0) {
            ended = got == 0;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipeEnds[0]);
    int status = 0;
    if (child > 0) {
        if (!ended) ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    StartOutcome outcome;
    outcome.ended = ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::istringstream report(text);
    report >> outcome.bytesRead >> outcome.anythingOn;
    report.ignore(1);
    for (std::string line; std::getline(report, line);) outcome.lines.push_back(line);
    return outcome;
}

TEST(TessivConfFile, AFileThatCannotBeUsedGivesAFewRunPaneLinesAndTurnsNothingOnWithoutBlocking) {
    const std::string hooks = "[hooks]\ncommand = true\n";
    std::string unknownKeys;  // 300 000 of them: far beyond the size any configuration needs
    for (int i = 0; i < 300000; ++i) unknownKeys += "k" + std::to_string(i) + " = 1\n";
    std::string fewUnknownKeys;  // within the size, every line a problem
    for (int i = 0; i < 2000; ++i) fewUnknownKeys += "k" + std::to_string(i) + " = 1\n";

    struct Case {
        std::string name;
        std::function<void(const std::filesystem::path& dir, const std::filesystem::path& conf)> make;
        std::vector<std::string> lines;
        bool asNobody = false;
    };
    const std::vector<Case> cases{
        {"a folder",
         [](auto&, auto& conf) { std::filesystem::create_directory(conf); },
         {"tessiv.conf is a folder, not a regular file; " + std::string(kAllOff)}},
        {"a FIFO without a writer",
         [](auto&, auto& conf) { ASSERT_EQ(::mkfifo(conf.c_str(), 0644), 0); },
         {"tessiv.conf is a FIFO, not a regular file; " + std::string(kAllOff)}},
        {"a link to /dev/zero",
         [](auto&, auto& conf) { std::filesystem::create_symlink("/dev/zero", conf); },
         {"tessiv.conf is a character device, not a regular file; " + std::string(kAllOff)}},
        {"a 200 MB file",
         [&](auto&, auto& conf) {
             WriteFileBytes(conf, hooks);
             std::filesystem::resize_file(conf, 200u << 20);
         },
         {"tessiv.conf is larger than 64 KiB; " + std::string(kAllOff)}},
        {"300 000 unknown keys",
         [&](auto&, auto& conf) { WriteFileBytes(conf, hooks + unknownKeys); },
         {"tessiv.conf is larger than 64 KiB; " + std::string(kAllOff)}},
        {"a file only its owner may read",
         [&](auto& dir, auto& conf) {
             WriteFileBytes(conf, hooks);
             std::filesystem::permissions(dir, std::filesystem::perms::all);
             std::filesystem::permissions(conf, std::filesystem::perms::none);
         },
         {"tessiv.conf cannot be read (Permission denied); " + std::string(kAllOff)},
         true},
        {"a key given twice",
         [](auto&, auto& conf) { WriteFileBytes(conf, "[hooks]\ncommand = a\ncommand = b\n"); },
         {"tessiv.conf line 3: \"hooks/command\" is given more than once; the hook command and the webhook "
          "stay "
          "off"}},
        {"2000 unknown keys",
         [&](auto&, auto& conf) { WriteFileBytes(conf, hooks + fewUnknownKeys); },
         {"tessiv.conf line 3: unknown key \"hooks/k0\"; the hook command and the webhook stay off",
          "tessiv.conf line 4: unknown key \"hooks/k1\"; the hook command and the webhook stay off",
          "tessiv.conf line 5: unknown key \"hooks/k2\"; the hook command and the webhook stay off",
          "tessiv.conf line 6: unknown key \"hooks/k3\"; the hook command and the webhook stay off",
          "tessiv.conf line 7: unknown key \"hooks/k4\"; the hook command and the webhook stay off",
          "tessiv.conf: 1995 more problems are not listed"}},
        {"a FIFO as the webhook's CA bundle",
         [&](auto& dir, auto& conf) {
             ASSERT_EQ(::mkfifo((dir / "ca.pem").c_str(), 0644), 0);
             WriteFileBytes(conf, hooks + "webhook = http://127.0.0.1:9/hook\nwebhook_ca = " +
                                      (dir / "ca.pem").string() + "\n");
         },
         {"tessiv.conf: bad value for \"hooks/webhook_ca\" (ca.pem is a FIFO, not a regular file); the hook "
          "command and the webhook stay off"}},
    };
    for (const Case& bad : cases) {
        SCOPED_TRACE(bad.name);
        if (bad.asNobody && ::getuid() != 0) continue;  // needs root to act as another user
        TempDir dir;
        bad.make(dir.path(), dir / kConfigFileName);
        const StartOutcome outcome = StartInChild(dir.path(), bad.asNobody);
        if (!outcome.ended) {
            ADD_FAILURE() << "the start blocked or failed";
            continue;
        }
        std::vector<std::string> expected = bad.lines;
        for (std::string& line : expected)  // the CA bundle is named by its full path
            if (const auto at = line.find("(ca.pem"); at != std::string::npos)
                line.replace(at + 1, 6, (dir / "ca.pem").string());
        EXPECT_EQ(outcome.lines, expected);
        EXPECT_FALSE(outcome.anythingOn);
        EXPECT_LT(outcome.bytesRead, 1u << 20);  // refused unread, not read to the end
    }
}

TEST(HookCommandLine, SplitsLikeAShellButExpandsNothing) {
    struct Case {
        std::string line;
        std::vector<std::string> words;
        std::string error;
    };
    for (const Case& split : {
             Case{"/bin/hook  --from\ttessiv ", {"/bin/hook", "--from", "tessiv"}},
             Case{"a 'c d' \"e f\"", {"a", "c d", "e f"}},
             Case{R"(a e\ f \'x\")", {"a", "e f", "'x\""}},
             Case{R"(a "" '' x""y)", {"a", "", "", "xy"}},
             Case{R"(a 'q\"$HOME' "\$ \` \" \\ \n \a")", {"a", R"(q\"$HOME)", R"($ ` " \ \n \a)"}},
             Case{"a $HOME ~ * $(id) `id` ; | & > #c",
                  {"a", "$HOME", "~", "*", "$(id)", "`id`", ";", "|", "&", ">", "#c"}},
             Case{"a'b'\"c\"d\\ e", {"abcd e"}},
             Case{"a \"x\\\ny\" p\\\nq", {"a", "xy", "pq"}},
             Case{"a b\\", {"a", "b\\"}},
             Case{"中心 '位置 服务器'", {"中心", "位置 服务器"}},
             Case{"a 'b", {}, "unterminated single quote"},
             Case{"a \"b\\\"", {}, "unterminated double quote"},
         }) {
        const SplitCommand got = SplitCommandLine(split.line);
        EXPECT_EQ(got.words, split.words) << split.line;
        EXPECT_EQ(got.error, split.error) << split.line;
        // The same words are what tessiv.conf hands to the hook runner; a broken line turns the hooks off.
        if (split.line.find('\n') != std::string::npos) continue;  // a value has one line
        const TessivConf config = ParseTessivConf("[hooks]\ncommand = " + split.line + "\n");
        if (split.error.empty()) {
            ASSERT_TRUE(config.integrations.hookCommand) << split.line;
            EXPECT_EQ(*config.integrations.hookCommand, split.words);
        } else {
            EXPECT_FALSE(config.integrations.hookCommand) << split.line;
            EXPECT_EQ(config.problems,
                      std::vector<std::string>{"tessiv.conf: bad value for \"hooks/command\" (" +
                                               split.error + "); the hook command and the webhook stay off"});
        }
    }
}

TEST(MetricsListen, IPv6AndPortZeroAreRefusedSayingWhyAndAnIPv4PortServes) {
    const std::string ipv6 =
        "tessiv.conf: bad value for \"metrics/listen\" (IPv6 is not available, only IPv4; use an address "
        "like "
        "127.0.0.1); the metrics endpoint stays off";
    const std::string zero =
        "tessiv.conf: bad value for \"metrics/listen\" (port 0 would listen on a random port that nobody is "
        "told; "
        "give one from 1 to 65535); the metrics endpoint stays off";
    TempDir dir;
    for (const auto& [listen, line] : std::vector<std::pair<std::string, std::string>>{{"[::1]:9464", ipv6},
                                                                                       {"[::]:9464", ipv6},
                                                                                       {"::1", ipv6},
                                                                                       {"0", zero},
                                                                                       {"127.0.0.1:0", zero},
                                                                                       {"0.0.0.0:0", zero}}) {
        WriteFileBytes(dir / kConfigFileName, "[metrics]\nlisten = " + listen + "\n");
        std::vector<std::string> lines;
        Integrations integrations;
        StartFromConf(integrations, dir.path(),
                      [&lines](std::string gbkLine) { lines.push_back(std::move(gbkLine)); });
        EXPECT_EQ(Texts(lines), std::vector<std::string>{line}) << listen;
        EXPECT_EQ(integrations.Metrics(), nullptr) << listen;
    }
    const int port = FreePort();
    WriteFileBytes(dir / kConfigFileName, "[metrics]\nlisten = " + std::to_string(port) + "\n");
    std::vector<std::string> lines;
    Integrations integrations;
    StartFromConf(integrations, dir.path(),
                  [&lines](std::string gbkLine) { lines.push_back(std::move(gbkLine)); });
    EXPECT_TRUE(lines.empty()) << lines.front();
    integrations.RoundEnded(0);
    EXPECT_EQ(Scrape(port)["tessiv_rounds_total"], 1);
}

}  // namespace
