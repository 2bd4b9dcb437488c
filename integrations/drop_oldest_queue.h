#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

// At most `limit` waiting items; a new one pushes out the oldest, so what finally goes out is the newest.
// Not locked: its owner guards it with its own mutex.
template <typename T>
class DropOldestQueue {
public:
    explicit DropOldestQueue(std::size_t limit) : m_limit(limit) {}

    // True when the push dropped the oldest item.
    bool Push(T item) {
        bool dropped = false;
        if (m_items.size() >= m_limit && !m_items.empty()) {
            m_items.pop_front();
            ++m_dropped;
            dropped = true;
        }
        m_items.push_back(std::move(item));
        return dropped;
    }
    std::optional<T> Pop() {
        if (m_items.empty()) return std::nullopt;
        T item = std::move(m_items.front());
        m_items.pop_front();
        return item;
    }
    bool Empty() const { return m_items.empty(); }
    std::uint64_t Dropped() const { return m_dropped; }

private:
    std::size_t m_limit;
    std::deque<T> m_items;
    std::uint64_t m_dropped = 0;
};
