#include "core/Progress.h"

#include "core/Log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace veltrix;

namespace {
// Captures what the indicators write while alive, as a terminal would get it.
class TerminalCapture {
public:
    TerminalCapture() { setLogTerminalOverride(1); }
    ~TerminalCapture() { setLogTerminalOverride(-1); }
    std::string text() { return log_.out(); }

private:
    LogCapture log_;
};

std::string bs(int n) { return std::string(n, '\b'); }
}  // namespace

TEST(Progress, TotalOf1000AdvancesOnePercentEveryTenIndices) {
    TerminalCapture cap;
    progress(1000, true);
    std::string expected = " - 000%";
    int count = 0;
    for (int i = 0; i < 1000; ++i) {
        progress(i, false);
        if (count * 10.0 <= i) {
            ++count;
            char buf[16];
            std::snprintf(buf, sizeof buf, "%03d%%", count);
            expected += bs(4) + buf;
        }
    }
    const std::string out = cap.text();
    EXPECT_EQ(out, expected);
    EXPECT_EQ(count, 100);
    EXPECT_NE(out.find("100%"), std::string::npos);
}

TEST(Progress, SmallTotalsUseLargerIncrementsAndLag) {
    {
        TerminalCapture cap;
        progress(20, true);
        progress(0, false);   // 0 <= 0: 005%
        progress(0, false);   // 5*0.2 = 1 > 0: nothing
        progress(2, false);   // 5 * 0.2 <= 2: 010%
        EXPECT_EQ(cap.text(), " - 000%" + bs(4) + "005%" + bs(4) + "010%");
    }
    {
        // 100 / 150 is below 2, so the increment is 1 and the indicator lags.
        TerminalCapture cap;
        progress(150, true);
        for (int i = 0; i < 3; ++i) progress(i, false);
        EXPECT_EQ(cap.text(), " - 000%" + bs(4) + "001%" + bs(4) + "002%");  // index 1: 1.5 > 1
    }
}

TEST(Progress, LabelledIndicatorErasesLabelPlusTen) {
    TerminalCapture cap;
    progress(100, true, "Iteration 3");
    progress(0, false, "Iteration 3");
    const std::string head = "id Iteration 3 - 000%";
    ASSERT_EQ(head.size(), 21u);
    EXPECT_EQ(cap.text(), head + bs(21) + "id Iteration 3 - 001%");
}

TEST(Progress, LabelledStateIsSeparateFromPlain) {
    TerminalCapture cap;
    progress(10, true, "L");
    progress(1000, true);
    progress(0, false, "L");  // labelled step 0.1, increment 10
    progress(0, false);       // plain step 10, increment 1
    EXPECT_EQ(cap.text(), "id L - 000% - 000%" + bs(11) + "id L - 010%" + bs(4) + "001%");
}

TEST(Progress, ZeroTotalDoesNotOverflow) {
    TerminalCapture cap;
    progress(0, true);
    progress(0, false);
    EXPECT_EQ(cap.text().substr(0, 7), " - 000%");
}

// Totals whose increment does not divide 100, indices past the total and a zero total (every
// advance increments) all end at 100 %, never above.
TEST(Progress, NeverPassesOneHundred) {
    for (double total : {0.0, 3.0, 7.0, 150.0}) {
        TerminalCapture cap;
        progress(total, true);
        progress(total, true, "L");
        for (int i = 0; i < 500; ++i) {
            progress(i, false);
            progress(i, false, "L");
        }
        const std::string out = cap.text();
        int largest = 0;
        for (size_t at = out.find('%'); at != std::string::npos; at = out.find('%', at + 1))
            largest = std::max(largest, std::stoi(out.substr(at - 3, 3)));
        EXPECT_EQ(largest, 100) << total;
        EXPECT_EQ(out.find("1000%"), std::string::npos);
    }
}

// Away from a terminal the indicator appends each quarter once instead of rewriting itself, and the
// log sink takes it without touching standard output; a silenced log writes nothing.
TEST(Progress, PipedOutputPrintsQuartersAndFollowsTheLogSink) {
    {
        LogCapture log;
        progress(1000, true);
        for (int i = 0; i < 1000; ++i) progress(i, false);
        progress(100, true, "7");
        for (int i = 0; i < 100; ++i) progress(i, false, "7");
        EXPECT_EQ(log.out(), " - 000% 025% 050% 075% 100%\nid 7 - 000% 025% 050% 075% 100%");
    }
    setLogLevel(LogLevel::Errors);
    LogCapture log;
    progress(10, true);
    logErr() << "Error in x(): y" << std::endl;
    setLogLevel(LogLevel::Normal);
    EXPECT_EQ(log.out(), "");
    EXPECT_EQ(log.err(), "Error in x(): y\n");
}
