// The progress line: drawn and cleared on standard error only when on, cleared
// before a warning or console text, and the meter's counting.
#include <gtest/gtest.h>

#include <iostream>

#include "util/CodeUtils.h"
#include "diagnostics/Progress.h"
#include "diagnostics/Diagnostics.h"

namespace {

const ProgressMeter::Pace kAtOnce{0.0, 1000.0};

ProgressMeter::Describe counted(const char* label) {
    return [label](long long done, long long total) {
        return std::string(label) + " " + std::to_string(done) + "/" + std::to_string(total);
    };
}

}  // namespace

TEST(ProgressLine, WarningAndConsoleTextClearTheLineFirst) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        ProgressDisplay display(true);
        ProgressLine::show("step 1");
        Diagnostics::warn("careful");
        ProgressLine::show("step 2");
        std::cout << "console line\n";
        ProgressLine::clear();  // nothing shown: writes nothing
    }
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "\rstep 1\x1b[K\r\x1b[Ktessaly: warning: careful\n"
              "\rstep 2\x1b[K\r\x1b[K");
    EXPECT_EQ(out, "console line\n");
}

TEST(ProgressMeter, DrawsAtItsPaceAndClearsItsLineAtTheEnd) {
    testing::internal::CaptureStderr();
    {
        ProgressDisplay display(true);
        ProgressMeter meter;
        meter.begin(4, counted("work"), kAtOnce);
        for (int k = 0; k < 4; ++k) meter.advance();
        EXPECT_EQ(meter.unitsDone(), 4);
        meter.end();
        // A power flow shows nothing before its first second.
        meter.begin(0, counted("flow"), ProgressMeter::kPowerFlow);
        meter.advance();
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\rwork 0/4, 0:00 elapsed\x1b[K\r\x1b[K");
}

TEST(ProgressMeter, OffItWritesNothing) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        ProgressDisplay display(false);
        ProgressMeter meter;
        meter.begin(100, counted("work"), kAtOnce);
        for (int k = 0; k < 100; ++k) meter.advance();
        ProgressLine::show("never");
        std::cout << "console line\n";
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "console line\n");
}

TEST(ProgressLine, DurationsAsClockTimes) {
    EXPECT_EQ(formatDuration(0), "0:00");
    EXPECT_EQ(formatDuration(7.4), "0:07");
    EXPECT_EQ(formatDuration(754), "12:34");
    EXPECT_EQ(formatDuration(3723), "1:02:03");
    EXPECT_EQ(formatDuration(-1), "?");
}
