#pragma once

#include <QLabel>
#include <QString>
#include <QTest>
#include <QWidget>

// The history window's status line, as a user reads it.
inline QString HistoryStatus(QWidget& window) {
    for (QLabel* label : window.findChildren<QLabel*>())
        if (label->accessibleName() == QString::fromUtf8("状态")) return label->text();
    return {};
}

// The window's reads run on a thread of their own: done once its status no longer says it is reading.
inline bool HistorySettled(QWidget& window) {
    return QTest::qWaitFor([&] { return !HistoryStatus(window).contains(QString::fromUtf8("正在读取")); },
                           15000);
}
