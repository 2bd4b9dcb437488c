#include "service/stdout_view.h"

#include <algorithm>

#include <QString>

#include "text/gbk.h"

void StdoutView::Write(const char* prefix, const std::string& gbkLine) {
    std::string utf8 = gbk::ToQString(gbkLine).toStdString();
    std::ranges::replace_if(
        utf8, [](char c) { return c == '\n' || c == '\r'; }, ' ');
    m_out.Write(prefix + utf8 + '\n');
}
