#include "tests/desktop/bus_services.h"

#include <chrono>
#include <cstdlib>

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QStandardPaths>
#include <QTest>

namespace {

constexpr int kStartMs = 15000;
const std::string kPython = "/usr/bin/python3";
const QString kMockInterface = QStringLiteral("org.freedesktop.DBus.Mock");

// No service directories: nothing is started on demand, so a missing server stays missing.
constexpr const char* kBusConfig =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

}  // namespace

bool InCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

std::string MissingBusTools() {
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()) return "dbus-daemon (dbus)";
    ChildProcess probe({kPython, "-c", "import dbusmock"});
    if (!probe.WaitEnd(std::chrono::milliseconds(kStartMs)) || probe.ExitCode() != 0)
        return "python3-dbusmock";
    return {};
}

PrivateBus::PrivateBus() {
    WriteFileBytes(m_dir / "bus.conf", kBusConfig);
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty()) return;
    m_daemon = std::make_unique<ChildProcess>(
        std::vector<std::string>{daemon.toStdString(), "--config-file=" + (m_dir / "bus.conf").string(),
                                 "--print-address=1", "--nofork"},
        ChildOptions{.readStdout = true});
    m_address = QString::fromStdString(m_daemon->ReadLine(std::chrono::milliseconds(kStartMs)));
}

PrivateBus::~PrivateBus() {
    for (const QString& name : m_connections) QDBusConnection::disconnectFromBus(name);
}

QDBusConnection PrivateBus::Connect() const {
    // Qt keeps named connections for the whole process, so each gets a name of its own.
    static int serial = 0;
    m_connections << QStringLiteral("private-bus-%1").arg(++serial);
    return QDBusConnection::connectToBus(m_address, m_connections.back());
}

MockService::MockService(const PrivateBus& bus, const std::vector<std::string>& arguments, QString name,
                         QString path)
    : m_name(std::move(name)), m_path(std::move(path)) {
    std::vector<std::string> command{kPython, "-m", "dbusmock", "--session", "--logfile", "/dev/null"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    m_process = std::make_unique<ChildProcess>(
        command, ChildOptions{.set = {"DBUS_SESSION_BUS_ADDRESS=" + bus.Address().toStdString()}});
    m_bus = bus.Connect();
    m_up =
        QTest::qWaitFor([this] { return m_bus.interface()->isServiceRegistered(m_name).value(); }, kStartMs);
}

QDBusMessage MockService::Mock(const QString& method, const QVariantList& arguments) const {
    QDBusMessage call = QDBusMessage::createMethodCall(m_name, m_path, kMockInterface, method);
    call.setArguments(arguments);
    return CallAndWait(m_bus, call);
}

std::vector<QVariantList> MockService::Calls(const QString& method, std::size_t count) const {
    std::vector<QVariantList> calls;
    (void)QTest::qWaitFor(
        [&] {
            calls.clear();
            const QDBusMessage reply = Mock(QStringLiteral("GetMethodCalls"), {method});
            if (reply.type() != QDBusMessage::ReplyMessage) return false;
            // a(tav): a time stamp and the arguments of each call
            const auto log = reply.arguments().at(0).value<QDBusArgument>();
            log.beginArray();
            while (!log.atEnd()) {
                qulonglong time = 0;
                QVariantList arguments;
                log.beginStructure();
                log >> time;
                log.beginArray();
                while (!log.atEnd()) {
                    QDBusVariant value;
                    log >> value;
                    arguments << value.variant();
                }
                log.endArray();
                log.endStructure();
                calls.push_back(arguments);
            }
            log.endArray();
            return calls.size() >= count;
        },
        kStartMs);
    return calls;
}

void MockService::EmitSignal(const QString& interface, const QString& name, const QString& signature,
                             const QVariantList& arguments) const {
    Mock(QStringLiteral("EmitSignal"), {interface, name, signature, QVariant::fromValue(arguments)});
}

std::unique_ptr<MockService> StartNotificationServer(const PrivateBus& bus) {
    return std::make_unique<MockService>(bus, std::vector<std::string>{"-t", "notification_daemon"},
                                         QStringLiteral("org.freedesktop.Notifications"),
                                         QStringLiteral("/org/freedesktop/Notifications"));
}

std::unique_ptr<MockService> StartTrayWatcher(const PrivateBus& bus) {
    const QString name = QStringLiteral("org.kde.StatusNotifierWatcher");
    const QString path = QStringLiteral("/StatusNotifierWatcher");
    auto watcher = std::make_unique<MockService>(
        bus, std::vector<std::string>{name.toStdString(), path.toStdString(), name.toStdString()}, name,
        path);
    if (!watcher->IsUp()) return watcher;
    watcher->Mock(QStringLiteral("AddMethod"), {name, QStringLiteral("RegisterStatusNotifierItem"),
                                                QStringLiteral("s"), QString(), QString()});
    watcher->Mock(QStringLiteral("AddMethod"), {name, QStringLiteral("RegisterStatusNotifierHost"),
                                                QStringLiteral("s"), QString(), QString()});
    watcher->Mock(QStringLiteral("AddProperty"), {name, QStringLiteral("IsStatusNotifierHostRegistered"),
                                                  QVariant::fromValue(QDBusVariant(true))});
    watcher->Mock(QStringLiteral("AddProperty"),
                  {name, QStringLiteral("ProtocolVersion"), QVariant::fromValue(QDBusVariant(0))});
    watcher->Mock(QStringLiteral("AddProperty"), {name, QStringLiteral("RegisteredStatusNotifierItems"),
                                                  QVariant::fromValue(QDBusVariant(QStringList{}))});
    return watcher;
}

QDBusMessage CallAndWait(QDBusConnection bus, const QDBusMessage& call) {
    QDBusPendingCall pending = bus.asyncCall(call);
    (void)QTest::qWaitFor([&] { return pending.isFinished(); }, kStartMs);
    return pending.reply();
}
