#include "bench/scale_fleet.h"

#include <chrono>
#include <ctime>
#include <string>

#include <QEventLoop>
#include <QTimer>

#include "core/monitor_core.h"
#include "servers/setting_file.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"

namespace {

Scenario FaultyReport() {
    Scenario scenario;
    scenario.apps.push_back({"位置服务器", "2024-05-01 08:30:00.0"});
    return scenario;
}

double Seconds(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

Fleet::Fleet(const std::filesystem::path& folder, int hosts) : m_hosts(hosts) {
    std::string setting;
    for (int i = 0; i < hosts; ++i) {
        const StatusHost& host = i % 10 == 0 ? m_sometimesFaulty : m_normal;
        // The query string makes every URL distinct; the host serves the status path whatever it carries.
        setting += gbk::FromUtf8("中心-" + std::to_string(i)) + "," + host.url() +
                   "?host=" + std::to_string(i) + "@1\r\n";
    }
    WriteFileBytes(folder / kSettingFileName, setting);
}

void Fleet::SetFaulty(bool faulty) {
    m_sometimesFaulty.SetScenario(faulty ? FaultyReport() : Scenario{});
}

void RoundMeter::EntryPolled(const EntryResult& result) {
    std::lock_guard hold(m_mutex);
    m_current.push_back(result);
}

void RoundMeter::RoundEnded(std::size_t) {
    const double cpu = ThreadCpuSeconds();
    std::lock_guard hold(m_mutex);
    m_workerCpu += cpu;
    m_last = std::move(m_current);
    m_current.clear();
}

std::vector<EntryResult> RoundMeter::LastRound() const {
    std::lock_guard hold(m_mutex);
    return m_last;
}

double RoundMeter::WorkerCpuSeconds() const {
    std::lock_guard hold(m_mutex);
    return m_workerCpu;
}

void TimedObserver::EntryPolled(const EntryResult& result) {
    const auto start = std::chrono::steady_clock::now();
    m_inner.EntryPolled(result);
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    std::lock_guard hold(m_mutex);
    m_seconds += spent.count();
}

void TimedObserver::RoundEnded(std::size_t entries) {
    const auto start = std::chrono::steady_clock::now();
    m_inner.RoundEnded(entries);
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    std::lock_guard hold(m_mutex);
    m_seconds += spent.count();
}

double TimedObserver::Seconds() const {
    std::lock_guard hold(m_mutex);
    return m_seconds;
}

bool AwaitRounds(MonitorCore& core, int rounds, const std::function<void(int)>& each) {
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    bool late = false;
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
        late = true;
        loop.quit();
    });
    int finished = 0;
    // Direct: the next round's timer cannot fire before this returns.
    const QMetaObject::Connection connection =
        QObject::connect(&core, &MonitorCore::RoundFinished, &loop, [&] {
            if (finished >= rounds) return;
            if (each) each(finished);
            if (++finished == rounds) loop.quit();
        });
    deadline.start(std::chrono::minutes(2));
    loop.exec();
    QObject::disconnect(connection);
    return !late;
}

double ProcessCpuSeconds() {
    return Seconds(CLOCK_PROCESS_CPUTIME_ID);
}

double ThreadCpuSeconds() {
    return Seconds(CLOCK_THREAD_CPUTIME_ID);
}
