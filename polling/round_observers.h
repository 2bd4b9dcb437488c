#pragma once

#include <initializer_list>
#include <vector>

#include "ports/round_observer.h"

// Hands each call to several round observers, in the order given; one slot of the core then serves them
// all.
class RoundObservers final : public RoundObserver {
public:
    RoundObservers(std::initializer_list<RoundObserver*> observers) : m_observers(observers) {}

    void EntryPolled(const EntryResult& result) override {
        for (RoundObserver* observer : m_observers)
            if (observer != nullptr) observer->EntryPolled(result);
    }
    void RoundEnded(std::size_t entries) override {
        for (RoundObserver* observer : m_observers)
            if (observer != nullptr) observer->RoundEnded(entries);
    }

private:
    std::vector<RoundObserver*> m_observers;
};
