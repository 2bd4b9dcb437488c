#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantList>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

// The programs these tests run as real services; empty when all are there, else what is missing.
std::string MissingBusTools();
// CI must have every tool (setup.sh installs them); elsewhere a missing one skips the test.
bool InCi();

// A private session bus with no activatable services: a name is owned only while a test's service runs.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool IsUp() const { return !m_address.isEmpty(); }
    const QString& Address() const { return m_address; }
    // A connection of its own, separate from the process's session bus connection; closed with the bus.
    QDBusConnection Connect() const;

private:
    TempDir m_dir;
    std::unique_ptr<ChildProcess> m_daemon;
    QString m_address;
    mutable QStringList m_connections;
};

// A python3-dbusmock service on the bus, from a template or as a bare named object.
class MockService {
public:
    MockService(const PrivateBus& bus, const std::vector<std::string>& arguments, QString name, QString path);
    MockService(const MockService&) = delete;
    MockService& operator=(const MockService&) = delete;

    bool IsUp() const { return m_up; }
    // The arguments of each call of the method so far, once there are at least `count` (or it is too late).
    std::vector<QVariantList> Calls(const QString& method, std::size_t count) const;
    QDBusMessage Mock(const QString& method, const QVariantList& arguments) const;
    void EmitSignal(const QString& interface, const QString& name, const QString& signature,
                    const QVariantList& arguments) const;

private:
    std::unique_ptr<ChildProcess> m_process;
    QDBusConnection m_bus{QString()};
    QString m_name;
    QString m_path;
    bool m_up = false;
};

std::unique_ptr<MockService> StartNotificationServer(const PrivateBus& bus);
// org.kde.StatusNotifierWatcher with a tray host registered: what Qt looks for before it offers a tray.
std::unique_ptr<MockService> StartTrayWatcher(const PrivateBus& bus);

// Sends a call and keeps the event loop running until the answer is in, so a service in this very process
// can answer it.
QDBusMessage CallAndWait(QDBusConnection bus, const QDBusMessage& call);
