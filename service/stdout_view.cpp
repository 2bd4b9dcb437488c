#include "service/stdout_view.h"

#include <algorithm>

#include <QString>

#include "text/gbk.h"

void StdoutView::Write(const char* prefix, const std::string& gbkLine) {
    std::string utf8 = gbk::ToQString(gbkLine).toStdString();
    std::ranges::replace_if(
        utf8, [](char c) { return c == '\n' || c == '\r'; }, ' ');
    std::fputs(prefix, m_out);
    std::fputs(utf8.c_str(), m_out);
    std::fputc('\n', m_out);
    // A journal or a pipe shows each line as it happens, not when a buffer fills.
    std::fflush(m_out);
}
