#pragma once

#include <functional>
#include <optional>

#include <curl/curl.h>

namespace lazycurl {

// Runs `easy` on `multi` until it is done, looking at `stopping` at least once a second (the sender's
// curl_multi_wakeup ends a wait at once). The transfer's result, or nothing when it was stopped first.
std::optional<CURLcode> RunUntilDone(CURLM* multi, CURL* easy, const std::function<bool()>& stopping);

}  // namespace lazycurl
