#include <gtest/gtest.h>

#include "tests/support/hang_watchdog.h"

int main(int argc, char** argv) {
    StartHangWatchdog();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
