#include "lazycurl/transfer.h"

#include "lazycurl/lazy_curl.h"

namespace lazycurl {

std::optional<CURLcode> RunUntilDone(CURLM* multi, CURL* easy, const std::function<bool()>& stopping) {
    multi_add_handle(multi, easy);
    std::optional<CURLcode> result;
    while (!result) {
        int running = 0;
        if (multi_perform(multi, &running) != CURLM_OK) break;
        int left = 0;
        while (CURLMsg* done = multi_info_read(multi, &left))
            if (done->msg == CURLMSG_DONE && done->easy_handle == easy) result = done->data.result;
        if (result || stopping()) break;
        multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    multi_remove_handle(multi, easy);
    return result;
}

}  // namespace lazycurl
