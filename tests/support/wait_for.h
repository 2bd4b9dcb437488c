#pragma once

#include <chrono>
#include <functional>

// Polls `condition` every 5 ms until it holds or `limit` has passed, for tests without an event loop (Qt
// tests use QTest::qWaitFor, which keeps events flowing). True when it held.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit);
