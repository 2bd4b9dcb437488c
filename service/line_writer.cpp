#include "service/line_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include <QSocketNotifier>

NonBlockingFd::NonBlockingFd(int fd) : m_fd(fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_NONBLOCK) != 0) return;
    if (::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && ::isatty(fd) == 1) m_restore = flags;
}

NonBlockingFd::~NonBlockingFd() {
    if (m_restore >= 0) ::fcntl(m_fd, F_SETFL, m_restore);
}

namespace {

std::string DroppedLine(std::size_t count) {
    return "<4>tessiv: " + std::to_string(count) +
           (count == 1 ? " line of output was" : " lines of output were") + " dropped\n";
}

}  // namespace

LineWriter::LineWriter(int fd, std::size_t maxPending, QObject* parent)
    : QObject(parent), m_fd(fd), m_mode(fd), m_maxPending(maxPending) {
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    m_notifier->setEnabled(false);
    connect(m_notifier, &QSocketNotifier::activated, this, &LineWriter::Flush);
}

LineWriter::~LineWriter() {
    m_notifier->setEnabled(false);
    Flush();
}

void LineWriter::Write(std::string line) {
    if (m_pending.size() >= m_maxPending) {
        ++m_dropped;
        return;
    }
    m_pending.push_back(std::move(line));
    if (m_pending.size() == 1) Flush();
}

void LineWriter::Flush() {
    while (!m_pending.empty()) {
        const std::string& line = m_pending.front();
        const ssize_t written = ::write(m_fd, line.data() + m_written, line.size() - m_written);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno != EAGAIN) {
            // The reader is gone or the device failed: nothing pending will get out.
            m_dropped += m_pending.size();
            m_pending.clear();
            m_written = 0;
            break;
        }
        if (written < 0) break;
        m_written += static_cast<std::size_t>(written);
        if (m_written < line.size()) continue;
        m_pending.pop_front();
        m_written = 0;
        // Room again: the count goes where the lost lines would have been.
        if (m_dropped > 0 && m_pending.size() < m_maxPending)
            m_pending.push_back(DroppedLine(std::exchange(m_dropped, 0)));
    }
    m_notifier->setEnabled(!m_pending.empty());
}
