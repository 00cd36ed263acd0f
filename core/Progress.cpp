#include "core/Progress.h"

#include <cstdio>
#include <ostream>
#include <string>

#include "core/Log.h"

namespace veltrix {

namespace {
struct IndicatorState {
    int count = 0;
    double step = 0.0;
    int increment = 1;
    int quarter = 0;  // the last quarter printed when the output is not a terminal

    void start(double total) {
        count = 0;
        quarter = 0;
        step = total / 100.0;
        // A total of zero (or a tiny one) would make 100 / total overflow an int.
        double inv = 1.0 / step;
        if (!(inv < 1e6)) inv = 1e6;
        increment = (inv >= 2.0) ? static_cast<int>(inv) : 1;
    }
    // True when the indicator moves on for this index. It stops at 100 %, also for indices past
    // the total and for an indicator that was never started.
    bool advance(double value) {
        if (count >= 100 || !(count * step <= value)) return false;
        count = count + increment > 100 ? 100 : count + increment;
        return true;
    }
    // Away from a terminal only every quarter is printed, as a step of its own.
    bool quarterReached() {
        if (count / 25 <= quarter) return false;
        quarter = count / 25;
        return true;
    }
};

// Per thread: a task running beside others has indicators of its own.
IndicatorState& plainState() {
    thread_local IndicatorState s;
    return s;
}
IndicatorState& labelledState() {
    thread_local IndicatorState s;
    return s;
}

std::string percentText(int count) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%03d%%", count);
    return buf;
}
}  // namespace

void progress(double value, bool start) {
    IndicatorState& s = plainState();
    if (start) {
        s.start(value);
        logOut() << " - " << percentText(s.count) << std::flush;
        return;
    }
    if (!s.advance(value)) return;
    if (!logOutIsTerminal()) {
        if (s.quarterReached()) logOut() << ' ' << percentText(s.count) << std::flush;
        return;
    }
    std::string out(4, '\b');
    if (s.count >= 1000.1) out += '\b';
    if (s.count >= 10000.1) out += '\b';
    logOut() << out << percentText(s.count) << std::flush;
}

void progress(double value, bool start, const std::string& label) {
    IndicatorState& s = labelledState();
    if (start) {
        s.start(value);
        // Away from a terminal nothing is erased, so each run gets a line of its own: a loop of
        // labelled runs would otherwise make one line of them all.
        if (!logOutIsTerminal()) logOut() << '\n';
        logOut() << "id " << label << " - " << percentText(s.count) << std::flush;
        return;
    }
    if (!s.advance(value)) return;
    if (!logOutIsTerminal()) {
        if (s.quarterReached()) logOut() << ' ' << percentText(s.count) << std::flush;
        return;
    }
    logOut() << std::string(label.size() + 10, '\b') << "id " << label << " - " << percentText(s.count)
              << std::flush;
}

}  // namespace veltrix
