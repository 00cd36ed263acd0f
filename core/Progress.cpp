#include "Progress.h"

#include <cstdio>
#include <iostream>
#include <string>

namespace {
struct IndicatorState {
    int count = 0;
    double step = 0.0;
    int increment = 1;

    void start(double total) {
        count = 0;
        step = total / 100.0;
        // A total of zero (or a tiny one) would make 100 / total overflow an int.
        double inv = 1.0 / step;
        if (!(inv < 1e6)) inv = 1e6;
        increment = (inv >= 2.0) ? static_cast<int>(inv) : 1;
    }
    // True when the indicator moves on for this index.
    bool advance(double value) {
        if (!(count * step <= value)) return false;
        count += increment;
        return true;
    }
};

IndicatorState& plainState() {
    static IndicatorState s;
    return s;
}
IndicatorState& labelledState() {
    static IndicatorState s;
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
        std::cout << " - " << percentText(s.count) << std::flush;
        return;
    }
    if (!s.advance(value)) return;
    std::string out(4, '\b');
    if (s.count >= 1000.1) out += '\b';
    if (s.count >= 10000.1) out += '\b';
    std::cout << out << percentText(s.count) << std::flush;
}

void progress(double value, bool start, const std::string& label) {
    IndicatorState& s = labelledState();
    if (start) {
        s.start(value);
        std::cout << "id " << label << " - " << percentText(s.count) << std::flush;
        return;
    }
    if (!s.advance(value)) return;
    std::cout << std::string(label.size() + 10, '\b') << "id " << label << " - " << percentText(s.count)
              << std::flush;
}
