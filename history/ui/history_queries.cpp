#include "history/ui/history_queries.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

struct HistoryQueries::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::array<std::optional<Read>, static_cast<std::size_t>(Kind::kKinds)> waiting;
    int pending = 0;                  // waiting or running
    HistoryQueries* owner = nullptr;  // null once the window is gone
    std::vector<Answer> answers;      // done, for the window's thread
    std::unique_ptr<history::HistoryReader> reader;

    void Serve() {
        for (;;) {
            Read read;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [&] {
                    return owner == nullptr || std::any_of(waiting.begin(), waiting.end(),
                                                           [](const auto& one) { return one.has_value(); });
                });
                if (owner == nullptr) return;
                for (auto& one : waiting) {
                    if (!one) continue;
                    read = std::move(*one);
                    one.reset();
                    break;
                }
            }
            Answer answer;
            try {
                answer = read(*reader);
            } catch (const std::exception&) {
                // The file went away or was damaged meanwhile: the window keeps what it shows.
            }
            std::lock_guard lock(mutex);
            if (owner == nullptr) return;
            answers.push_back(std::move(answer));
            // Posted under the lock: the owner cannot be destroyed in between, and its going drops the event.
            if (answers.size() == 1) QMetaObject::invokeMethod(owner, "TakeAnswers", Qt::QueuedConnection);
        }
    }
};

HistoryQueries::HistoryQueries(std::unique_ptr<history::HistoryReader> reader, QObject* parent)
    : QObject(parent), m_shared(std::make_shared<Shared>()) {
    m_shared->owner = this;
    m_shared->reader = std::move(reader);
    std::thread([shared = m_shared] { shared->Serve(); }).detach();
}

HistoryQueries::~HistoryQueries() {
    std::lock_guard lock(m_shared->mutex);
    m_shared->owner = nullptr;
    for (auto& one : m_shared->waiting) one.reset();
    m_shared->wake.notify_one();
}

void HistoryQueries::Ask(Kind kind, Read read) {
    std::lock_guard lock(m_shared->mutex);
    auto& slot = m_shared->waiting[static_cast<std::size_t>(kind)];
    if (!slot) ++m_shared->pending;
    slot = std::move(read);
    m_shared->wake.notify_one();
}

void HistoryQueries::TakeAnswers() {
    std::vector<Answer> taken;
    {
        std::lock_guard lock(m_shared->mutex);
        taken.swap(m_shared->answers);
        m_shared->pending -= static_cast<int>(taken.size());
    }
    for (const Answer& answer : taken) {
        if (answer) answer();
        emit Answered();
    }
}

bool HistoryQueries::Busy() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->pending > 0;
}
