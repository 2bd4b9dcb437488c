#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into signals on the event loop of the thread that made this object. The
// handler only writes the signal's number to a pipe, which is all a signal handler may safely do; no signal
// is blocked, so processes started later inherit the usual dispositions. One per process.
class SignalWatcher final : public QObject {
    Q_OBJECT
public:
    explicit SignalWatcher(QObject* parent = nullptr);
    // Puts the default dispositions back.
    ~SignalWatcher() override;
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

signals:
    // SIGTERM or SIGINT.
    void StopRequested(int signalNumber);
    // SIGHUP.
    void ReloadRequested();

private:
    void Drain();

    QSocketNotifier* m_notifier = nullptr;
};
