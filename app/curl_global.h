#pragma once

#include "lazycurl/lazy_curl.h"

// libcurl is opened and set up by its first user; its global state is torn down after the last thread ends.
struct CurlGlobal {
    CurlGlobal() = default;
    ~CurlGlobal() { lazycurl::Cleanup(); }
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
};
