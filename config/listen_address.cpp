#include "config/listen_address.h"

#include <arpa/inet.h>

#include <charconv>
#include <string_view>

#include "config/config_file.h"

namespace {

bool IsIpv6(std::string host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    in6_addr v6{};
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

}  // namespace

std::string ListenAddress::Text() const {
    return host + ":" + std::to_string(port);
}

ParsedListenAddress ParseListenAddress(const std::string& text) {
    ListenAddress address{"127.0.0.1", 0, true};
    std::string_view port = text;
    if (IsIpv6(text))
        return {std::nullopt, "IPv6 is not available, only IPv4; use an address like 127.0.0.1"};
    if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        const std::string host = text.substr(0, colon);
        if (IsIpv6(host))
            return {std::nullopt, "IPv6 is not available, only IPv4; use an address like 127.0.0.1"};
        in_addr v4{};
        if (inet_pton(AF_INET, host.c_str(), &v4) != 1)
            return {std::nullopt, "\"" + ShownConfigText(host) + "\" is not an IPv4 address"};
        address.host = host;
        address.loopback = (ntohl(v4.s_addr) >> 24) == 127;
        port = std::string_view(text).substr(colon + 1);
    }
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), address.port);
    if (port.empty() || error != std::errc() || end != port.data() + port.size() || address.port < 0 ||
        address.port > 65535)
        return {std::nullopt, "not a port from 1 to 65535, or an IPv4 address:port"};
    if (address.port == 0)
        return {std::nullopt,
                "port 0 would listen on a random port that nobody is told; give one from 1 to 65535"};
    return {address, {}};
}
