#pragma once

#include <functional>
#include <memory>

#include <QObject>

#include "history/history_records.h"

// The history window's reads, on a thread of their own so that the window never waits for the disk. One
// read runs at a time; a read asked while another of the same kind still waits takes its place. The window's
// going neither waits for a read that runs nor is reached by its answer: the thread ends after it.
class HistoryQueries final : public QObject {
    Q_OBJECT
public:
    // What to do with a read's result, on the window's thread.
    using Answer = std::function<void()>;
    // The read itself, on the reading thread: it returns what the window then does with its result.
    using Read = std::function<Answer(history::HistoryReader&)>;
    enum class Kind { Hosts, Outages, MoreOutages, Export, kKinds };

    explicit HistoryQueries(std::unique_ptr<history::HistoryReader> reader, QObject* parent = nullptr);
    ~HistoryQueries() override;
    HistoryQueries(const HistoryQueries&) = delete;
    HistoryQueries& operator=(const HistoryQueries&) = delete;

    void Ask(Kind kind, Read read);
    // True while a read waits or runs.
    bool Busy() const;

signals:
    // After each answer has been handled: Busy() may have changed.
    void Answered();

private:
    // The answers that came in, on the window's thread. By name, so that nothing of the reading thread's
    // travels in Qt's event: the answers wait under the shared lock.
    Q_INVOKABLE void TakeAnswers();

    struct Shared;
    std::shared_ptr<Shared> m_shared;
};
