#include "core/pane_text.h"

void PrependPaneText(std::string& pane, std::string_view text) {
    std::string updated;
    updated.reserve(std::min(text.size() + 2 + pane.size(), kPaneCapBytes + 1));
    updated.append(text).append("\r\n");
    if (updated.size() < kPaneCapBytes) updated.append(pane, 0, kPaneCapBytes - updated.size());
    if (updated.size() > kPaneCapBytes) updated.resize(kPaneCapBytes);
    pane = std::move(updated);
}
