#include "tests/support/modal_watchdog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>

ModalWatchdog::ModalWatchdog() {
    QObject::connect(&m_timer, &QTimer::timeout, [] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr) return;
        ADD_FAILURE() << "a modal " << modal->metaObject()->className() << " was left open";
        if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
    });
    m_timer.start(5000);
}
