#include "tests/support/recording_view.h"

#include <algorithm>

#include <QString>

#include "text/gbk.h"

namespace {

std::string Utf8(const std::string& gbkLine) {
    return gbk::ToQString(gbkLine).toStdString();
}

}  // namespace

void RecordingView::RunLineAdded(const std::string& line) {
    runLines.push_back(Utf8(line));
}

void RecordingView::AlarmLineAdded(const std::string& line) {
    alarmLines.push_back(Utf8(line));
}

void RecordingView::AlarmShown(bool forward, bool sound) {
    forwarded += forward ? 1 : 0;
    sounding = sounding || sound;
}

bool Contains(const std::vector<std::string>& lines, const std::string& part) {
    return std::ranges::any_of(lines,
                               [&](const std::string& line) { return line.find(part) != std::string::npos; });
}
