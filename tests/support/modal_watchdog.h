#pragma once

#include <QTimer>

// Ends a modal dialog that is still up after five seconds, so a failing test ends instead of hanging.
class ModalWatchdog {
public:
    ModalWatchdog();

private:
    QTimer m_timer;
};
