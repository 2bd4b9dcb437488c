#pragma once

#include <chrono>
#include <string>

#include <QColor>
#include <QString>

#include "history/history_records.h"

// How the history's states and times read and look in the window and its export.
namespace history_text {

QString OutcomeName(history::Outcome outcome);    // 正常, 连接异常, ...
QColor OutcomeColor(history::Outcome outcome);    // the timeline's colour
QString Duration(std::chrono::seconds duration);  // 2 天 3 小时, 5 分 20 秒
QString LocalTime(history::TimePoint when);       // 2026-01-02 03:04:05, as in the panes

}  // namespace history_text
