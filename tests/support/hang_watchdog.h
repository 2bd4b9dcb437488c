#pragma once

// Prints the stack of every thread of this process to stderr and aborts it when it is still running after
// TESSIV_TEST_HANG_SECONDS (default 270, below the test run's time-out of 300), so a rare hang leaves
// evidence instead of a bare time-out. Uses gdb when it is installed.
void StartHangWatchdog();

// The same, after `seconds`; for testing the watchdog itself.
void StartHangWatchdog(int seconds);
