#pragma once

#include <curl/curl.h>

// libcurl's global state is set up once, before any thread exists, and torn down after the last one ends.
struct CurlGlobal {
    CurlGlobal() { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }
    ~CurlGlobal() { curl_global_cleanup(); }
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
    bool ok = false;
};
