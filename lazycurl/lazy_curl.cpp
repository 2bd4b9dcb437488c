#include "lazycurl/lazy_curl.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>

namespace lazycurl {
namespace {

template <typename F>
bool Resolve(void* library, const char* name, F& target) {
    target = reinterpret_cast<F>(::dlsym(library, name));
    return target != nullptr;
}

const Api* Open() {
    // The handle is kept for the life of the process: libcurl's threads may outlive any owner here.
    void* library = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    static Api api{};
    CURLcode (*globalInit)(long) = nullptr;
    const bool resolved =
        Resolve(library, "curl_global_init", globalInit) &&
        Resolve(library, "curl_easy_init", api.easy_init) &&
        Resolve(library, "curl_easy_cleanup", api.easy_cleanup) &&
        Resolve(library, "curl_easy_setopt", api.easy_setopt) &&
        Resolve(library, "curl_easy_getinfo", api.easy_getinfo) &&
        Resolve(library, "curl_easy_perform", api.easy_perform) &&
        Resolve(library, "curl_easy_strerror", api.easy_strerror) &&
        Resolve(library, "curl_slist_append", api.slist_append) &&
        Resolve(library, "curl_slist_free_all", api.slist_free_all) &&
        Resolve(library, "curl_multi_init", api.multi_init) &&
        Resolve(library, "curl_multi_cleanup", api.multi_cleanup) &&
        Resolve(library, "curl_multi_add_handle", api.multi_add_handle) &&
        Resolve(library, "curl_multi_remove_handle", api.multi_remove_handle) &&
        Resolve(library, "curl_multi_perform", api.multi_perform) &&
        Resolve(library, "curl_multi_poll", api.multi_poll) &&
        Resolve(library, "curl_multi_wakeup", api.multi_wakeup) &&
        Resolve(library, "curl_multi_info_read", api.multi_info_read) &&
        Resolve(library, "curl_url", api.url) && Resolve(library, "curl_url_set", api.url_set) &&
        Resolve(library, "curl_url_get", api.url_get) &&
        Resolve(library, "curl_url_cleanup", api.url_cleanup) && Resolve(library, "curl_free", api.free) &&
        Resolve(library, "curl_global_cleanup", api.global_cleanup);
    if (!resolved || globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) return nullptr;
    return &api;
}

std::atomic<const Api*> loaded{nullptr};
std::once_flag opening;

}  // namespace

const Api* Load() {
    if (const Api* api = loaded.load(std::memory_order_acquire)) return api;
    std::call_once(opening, [] { loaded.store(Open(), std::memory_order_release); });
    return loaded.load(std::memory_order_acquire);
}

void Cleanup() {
    if (const Api* api = loaded.load(std::memory_order_acquire)) api->global_cleanup();
}

}  // namespace lazycurl
