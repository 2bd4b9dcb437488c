#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include <QObject>

class QSocketNotifier;

// Makes `fd` non-blocking for the life of this object. A terminal, which the shell shares, gets its blocking
// mode back at the end; any other descriptor stays non-blocking, since a reader that stalls would otherwise
// hold a last write at exit.
class NonBlockingFd {
public:
    explicit NonBlockingFd(int fd);
    ~NonBlockingFd();
    NonBlockingFd(const NonBlockingFd&) = delete;
    NonBlockingFd& operator=(const NonBlockingFd&) = delete;

private:
    int m_fd;
    int m_restore = -1;  // the flags to put back, or -1
};

// Writes whole lines to a file descriptor without ever waiting for it: what the descriptor cannot take now
// waits in a bounded queue and goes out when it becomes writable. Past the bound, lines are dropped and
// counted, and the count is said as a line of its own once there is room again, so a stalled reader (a
// pager, a journal) costs output, never the monitor's loop.
class LineWriter final : public QObject {
    Q_OBJECT
public:
    static constexpr std::size_t kMaxPending = 1000;

    explicit LineWriter(int fd, std::size_t maxPending = kMaxPending, QObject* parent = nullptr);
    // Writes what the descriptor takes now; the rest is lost.
    ~LineWriter() override;
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    // `line` ends with its line break.
    void Write(std::string line);

private:
    void Flush();

    int m_fd;
    NonBlockingFd m_mode;
    std::size_t m_maxPending;
    std::deque<std::string> m_pending;
    std::size_t m_written = 0;  // bytes of the first pending line already out
    std::size_t m_dropped = 0;
    QSocketNotifier* m_notifier = nullptr;
};
