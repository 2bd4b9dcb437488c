#pragma once

#include <optional>
#include <string>

// Where an endpoint of ours listens: the metrics, the status page.
struct ListenAddress {
    std::string host;  // an IPv4 address literal: civetweb as Debian builds it has no IPv6
    int port = 0;      // 1 to 65535
    bool loopback = true;
    std::string Text() const;  // as civetweb wants it: "127.0.0.1:9464"
    bool operator==(const ListenAddress&) const = default;
};

// An address to listen on, or why the text is not one.
struct ParsedListenAddress {
    std::optional<ListenAddress> address;
    std::string error;
};

// "9464" (on 127.0.0.1) or "127.0.0.1:9464". IPv6 and port 0 are refused with their own reasons.
ParsedListenAddress ParseListenAddress(const std::string& text);
