#include "text/time_text.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

class UtcZone : public testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

TEST_F(UtcZone, FormatsPaneAndReportTimes) {
    std::time_t when = 1336469405;  // 2012-05-08 09:30:05 UTC
    EXPECT_EQ(FormatLocalTime(when, kPaneTimeFormat), "2012-05-08 09:30:05");
    EXPECT_EQ(FormatLocalTime(when, kReportTimeFormat), "2012-05-08 09:30:05.0");
}

TEST_F(UtcZone, UnconvertibleTimeGivesInvalidDateTime) {
    std::time_t far = static_cast<std::time_t>(1) << 62;
    EXPECT_EQ(FormatLocalTime(far, kPaneTimeFormat), "Invalid DateTime");
}

}  // namespace
