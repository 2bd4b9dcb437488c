#include <sys/socket.h>
#include "lazycurl/lazy_curl.h"

#include <memory>

#include "channels/channel.h"

namespace {

std::size_t Keep(char* data, std::size_t size, std::size_t count, void* transfer) {
    std::string& reply = static_cast<Transfer*>(transfer)->reply;
    // A reply is a short JSON; a larger one is cut rather than kept whole.
    if (reply.size() < 64 * 1024) reply.append(data, size * count);
    return size * count;
}

// Close-on-exec from the start, so no program started meanwhile by any thread inherits the connection.
curl_socket_t OpenSocket(void*, curlsocktype, curl_sockaddr* address) {
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

struct EasyCleanup {
    void operator()(CURL* easy) const { lazycurl::easy_cleanup(easy); }
};

}  // namespace

Transfer::~Transfer() {
    lazycurl::slist_free_all(static_cast<curl_slist*>(headers));
    lazycurl::slist_free_all(static_cast<curl_slist*>(recipients));
}

bool CommonOptions(void* easy, Transfer& transfer, std::chrono::milliseconds timeout) {
    CURL* handle = static_cast<CURL*>(easy);
    return lazycurl::easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
           // A name lookup that never returns is left to its resolver thread rather than joined.
           lazycurl::easy_setopt(handle, CURLOPT_QUICK_EXIT, 1L) == CURLE_OK &&
           lazycurl::easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, &OpenSocket) == CURLE_OK &&
           lazycurl::easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count())) ==
               CURLE_OK &&
           lazycurl::easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
           lazycurl::easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
           lazycurl::easy_setopt(handle, CURLOPT_USERAGENT, "Tessiv") == CURLE_OK &&
           lazycurl::easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Keep) == CURLE_OK &&
           lazycurl::easy_setopt(handle, CURLOPT_WRITEDATA, &transfer) == CURLE_OK;
}

Attempt SendOnce(const Channel& channel, const ChannelMessage& message, std::chrono::milliseconds timeout) {
    std::unique_ptr<CURL, EasyCleanup> easy(lazycurl::easy_init());
    Transfer transfer;
    if (!easy || !CommonOptions(easy.get(), transfer, timeout) ||
        !channel.Prepare(easy.get(), message, transfer))
        return {Attempt::Outcome::Refused, "libcurl could not be set up"};
    const CURLcode result = lazycurl::easy_perform(easy.get());
    return channel.Judge(easy.get(), result, transfer);
}
