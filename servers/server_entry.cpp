#include "servers/server_entry.h"

#include "servers/next_token.h"

namespace entry {

std::string Build(std::string_view name, std::string_view ip) {
    std::string line;
    line.reserve(name.size() + ip.size() + kFixedBytes);
    line.append(name).append(",").append(kUrlPrefix).append(ip).append(kUrlSuffix).append("@1");
    return line;
}

std::string WithFlag(const std::string& entry, std::string_view flag) {
    std::string copy = entry;
    std::string head = NextToken(copy, "@");
    return head.append("@").append(flag);
}

PollView ForPolling(const std::string& entry) {
    std::string rest = entry;
    PollView view;
    std::string head = NextToken(rest, "@");
    view.flag = NextToken(rest, "@");
    view.name = NextToken(head, ",");
    view.url = std::move(head);
    return view;
}

std::string DisplayName(const std::string& entry) {
    std::string copy = entry;
    return NextToken(copy, ",", Trim::Yes, Match::Whole);
}

DisplayView ForDisplay(const std::string& entry) {
    std::string rest = entry;
    DisplayView view;
    view.name = NextToken(rest, ",", Trim::Yes, Match::Whole);
    view.address = NextToken(rest, "@", Trim::Yes, Match::Whole);
    view.flag = NextToken(rest, "@", Trim::Yes, Match::Whole);
    return view;
}

}  // namespace entry
