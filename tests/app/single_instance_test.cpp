#include "core/single_instance.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// One start of the real program; killed at the end of the scope if still running (also when stopped).
class Monitor {
public:
    Monitor(const fs::path& dir, const std::string& name, const QString& activationToken)
        : m_errors(dir / name) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.remove(QStringLiteral("XDG_ACTIVATION_TOKEN"));
        if (!activationToken.isEmpty())
            environment.insert(QStringLiteral("XDG_ACTIVATION_TOKEN"), activationToken);
        m_process.setProcessEnvironment(environment);
        m_process.setWorkingDirectory(QString::fromStdString(dir.string()));
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QString::fromStdString(m_errors.string()));
        m_process.start(QString::fromStdString((dir / "tessiv").string()), {});
    }
    ~Monitor() { Kill(); }
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    qint64 Pid() const { return m_process.processId(); }
    bool Running() const { return m_process.state() != QProcess::NotRunning; }
    // Keeps the event loop of this process turning meanwhile: it may be the one asked.
    bool EndsWithin(int ms) {
        return QTest::qWaitFor([this] { return !Running(); }, ms);
    }
    bool ExitedWithZero() const {
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }
    std::string Errors() const { return ReadFileBytes(m_errors); }
    void Kill() {
        if (!Running()) return;
        ::kill(static_cast<pid_t>(Pid()), SIGKILL);
        m_process.waitForFinished(10000);
    }

private:
    fs::path m_errors;
    QProcess m_process;
};

// A copy of the program in a folder of its own: without per-user folders its files live beside it.
class MonitorFolder {
public:
    MonitorFolder() {
        std::error_code error;
        fs::create_hard_link(TESSIV_EXECUTABLE, m_dir / "tessiv", error);
        if (error) fs::copy_file(TESSIV_EXECUTABLE, m_dir / "tessiv");
        WriteFileBytes(m_dir / "Setting.ini", "");
    }
    const fs::path& path() const { return m_dir.path(); }
    std::unique_ptr<Monitor> Start(const std::string& name, const QString& activationToken = {}) {
        return std::make_unique<Monitor>(m_dir.path(), name + ".stderr", activationToken);
    }
    // The monitor of this folder takes connections (a hung one too: the system queues them).
    bool Listening() const {
        QLocalSocket probe;
        probe.connectToServer(SingleInstance::ServerName(m_dir.path()));
        return probe.waitForConnected(200);
    }

private:
    TempDir m_dir;
};

std::vector<std::string> OurLines(const std::string& errors) {
    std::vector<std::string> lines;
    std::istringstream in(errors);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("tessiv: ", 0) == 0) lines.push_back(line);
    return lines;
}

TEST(OneMonitorPerFolder, SecondStartBringsTheRunningMonitorForwardAndLeaves) {
    MonitorFolder folder;
    {
        SCOPED_TRACE("both starts are the program");
        std::unique_ptr<Monitor> first = folder.Start("first");
        ASSERT_TRUE(QTest::qWaitFor([&] { return folder.Listening(); }, 15000)) << first->Errors();
        std::unique_ptr<Monitor> second = folder.Start("second");
        ASSERT_TRUE(second->EndsWithin(10000));
        EXPECT_TRUE(second->ExitedWithZero());
        EXPECT_TRUE(OurLines(second->Errors()).empty()) << second->Errors();
        EXPECT_TRUE(first->Running()) << first->Errors();
        // The first ends as in a crash: its lock file (naming a dead process) and its socket stay behind.
        first->Kill();
        ASSERT_TRUE(fs::exists(folder.path() / SingleInstance::kLockFileName));
    }
    {
        SCOPED_TRACE("the running monitor is this test's, in the crashed monitor's place");
        SingleInstance holder(folder.path());
        ASSERT_EQ(holder.TakeOrHandOver({}), SingleInstance::Claim::First);
        EXPECT_EQ(holder.Note(), "");
        QSignalSpy raised(&holder, &SingleInstance::RaiseRequested);
        std::unique_ptr<Monitor> second = folder.Start("again", QStringLiteral("token-7"));
        ASSERT_TRUE(second->EndsWithin(10000));
        EXPECT_TRUE(second->ExitedWithZero()) << second->Errors();
        ASSERT_EQ(raised.size(), 1);
        EXPECT_EQ(raised.at(0).at(0).toString(), QStringLiteral("token-7"));
    }
}

TEST(OneMonitorPerFolder, HungMonitorIsWaitedForAtMostTwoSeconds) {
    MonitorFolder folder;
    std::unique_ptr<Monitor> first = folder.Start("first");
    ASSERT_TRUE(QTest::qWaitFor([&] { return folder.Listening(); }, 15000)) << first->Errors();
    ASSERT_EQ(::kill(static_cast<pid_t>(first->Pid()), SIGSTOP), 0);

    const auto started = std::chrono::steady_clock::now();
    std::unique_ptr<Monitor> second = folder.Start("second");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !OurLines(second->Errors()).empty(); }, 15000))
        << second->Errors();
    const auto atLeast = started + 2500ms - std::chrono::steady_clock::now();
    if (atLeast > 0ms)
        QTest::qWait(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(atLeast).count()));

    EXPECT_TRUE(second->Running()) << second->Errors();
    const std::vector<std::string> lines = OurLines(second->Errors());
    ASSERT_EQ(lines.size(), 1u) << second->Errors();
    EXPECT_NE(lines[0].find("did not answer within 2 s"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(folder.path().string()), std::string::npos) << lines[0];
    first->Kill();
    second->Kill();
}

}  // namespace
