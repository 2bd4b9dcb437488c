#pragma once

#include <cstdio>
#include <filesystem>

// `tessiv --test-notify`: sends one test message to every channel, the hook command and the webhook that
// `dir`/tessiv.conf configures, one after another, and prints one line each to `out`: its name and "ok" or
// why not (the platform's message, the HTTP status, the SMTP reply). No window, no display. Returns 0 when
// every one succeeded, 1 otherwise or when nothing is configured.
int RunTestNotify(const std::filesystem::path& dir, std::FILE* out = stdout);
