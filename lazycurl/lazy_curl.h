#pragma once

#include <curl/curl.h>

// libcurl opened on first use rather than linked: its dependency tree (TLS, LDAP, SSH, ...) is mapped and
// set up only in a process that sends something over it. Same names and contracts as curl_*; when the
// library cannot be opened, the constructors return null and the rest report CURLE_FAILED_INIT.
namespace lazycurl {

struct Api {
    CURL* (*easy_init)();
    void (*easy_cleanup)(CURL*);
    CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
    CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
    CURLcode (*easy_perform)(CURL*);
    const char* (*easy_strerror)(CURLcode);
    curl_slist* (*slist_append)(curl_slist*, const char*);
    void (*slist_free_all)(curl_slist*);
    CURLM* (*multi_init)();
    CURLMcode (*multi_cleanup)(CURLM*);
    CURLMcode (*multi_add_handle)(CURLM*, CURL*);
    CURLMcode (*multi_remove_handle)(CURLM*, CURL*);
    CURLMcode (*multi_perform)(CURLM*, int*);
    CURLMcode (*multi_poll)(CURLM*, curl_waitfd[], unsigned int, int, int*);
    CURLMcode (*multi_wakeup)(CURLM*);
    CURLMsg* (*multi_info_read)(CURLM*, int*);
    CURLU* (*url)();
    CURLUcode (*url_set)(CURLU*, CURLUPart, const char*, unsigned int);
    CURLUcode (*url_get)(const CURLU*, CURLUPart, char**, unsigned int);
    void (*url_cleanup)(CURLU*);
    void (*free)(void*);
    void (*global_cleanup)();
};

// The library, opened and globally initialised once (thread-safe); null when it cannot be.
const Api* Load();

// Ends libcurl's global state if it was ever set up; call after the last thread using it has ended.
void Cleanup();

inline CURL* easy_init() {
    return Load() ? Load()->easy_init() : nullptr;
}
inline void easy_cleanup(CURL* easy) {
    if (easy != nullptr) Load()->easy_cleanup(easy);
}
template <typename T>
CURLcode easy_setopt(CURL* easy, CURLoption option, T value) {
    return Load() ? Load()->easy_setopt(easy, option, value) : CURLE_FAILED_INIT;
}
template <typename T>
CURLcode easy_getinfo(CURL* easy, CURLINFO info, T value) {
    return Load() ? Load()->easy_getinfo(easy, info, value) : CURLE_FAILED_INIT;
}
inline CURLcode easy_perform(CURL* easy) {
    return Load() ? Load()->easy_perform(easy) : CURLE_FAILED_INIT;
}
inline const char* easy_strerror(CURLcode code) {
    return Load() ? Load()->easy_strerror(code) : "libcurl could not be loaded";
}
inline curl_slist* slist_append(curl_slist* list, const char* text) {
    return Load() ? Load()->slist_append(list, text) : nullptr;
}
inline void slist_free_all(curl_slist* list) {
    if (list != nullptr) Load()->slist_free_all(list);
}
inline CURLM* multi_init() {
    return Load() ? Load()->multi_init() : nullptr;
}
inline CURLMcode multi_cleanup(CURLM* multi) {
    return multi != nullptr ? Load()->multi_cleanup(multi) : CURLM_BAD_HANDLE;
}
inline CURLMcode multi_add_handle(CURLM* multi, CURL* easy) {
    return Load() ? Load()->multi_add_handle(multi, easy) : CURLM_BAD_HANDLE;
}
inline CURLMcode multi_remove_handle(CURLM* multi, CURL* easy) {
    return Load() ? Load()->multi_remove_handle(multi, easy) : CURLM_BAD_HANDLE;
}
inline CURLMcode multi_perform(CURLM* multi, int* running) {
    return Load() ? Load()->multi_perform(multi, running) : CURLM_BAD_HANDLE;
}
inline CURLMcode multi_poll(CURLM* multi, curl_waitfd extra[], unsigned int count, int timeoutMs,
                            int* ready) {
    return Load() ? Load()->multi_poll(multi, extra, count, timeoutMs, ready) : CURLM_BAD_HANDLE;
}
inline CURLMcode multi_wakeup(CURLM* multi) {
    return Load() ? Load()->multi_wakeup(multi) : CURLM_BAD_HANDLE;
}
inline CURLMsg* multi_info_read(CURLM* multi, int* left) {
    return Load() ? Load()->multi_info_read(multi, left) : nullptr;
}
inline CURLU* url() {
    return Load() ? Load()->url() : nullptr;
}
inline CURLUcode url_set(CURLU* handle, CURLUPart part, const char* text, unsigned int flags) {
    return Load() ? Load()->url_set(handle, part, text, flags) : CURLUE_BAD_HANDLE;
}
inline CURLUcode url_get(const CURLU* handle, CURLUPart part, char** text, unsigned int flags) {
    return Load() ? Load()->url_get(handle, part, text, flags) : CURLUE_BAD_HANDLE;
}
inline void url_cleanup(CURLU* handle) {
    if (handle != nullptr) Load()->url_cleanup(handle);
}
inline void free(void* pointer) {
    if (pointer != nullptr) Load()->free(pointer);
}

}  // namespace lazycurl
