#pragma once
#include <cstdint>
#include <map>
#include <string>

namespace veltrix {

// Named stage timers on a monotonic high-resolution counter, one registry per process.
struct StageTimer {
    int64_t frequency = 0;  // counter ticks per second
    int64_t start = 0;      // counter at the last start
    int64_t stop = 0;       // counter at the last stop
    double elapsed = 0.0;   // ticks accumulated since the last start
    double cpuStart = 0.0;  // process CPU seconds (all threads) at the last start
    double cpuElapsed = 0.0;  // process CPU seconds accumulated since the last start
};

// The record of that name, created on first lookup; it lives until the process ends.
StageTimer& stageTimer(const std::string& name);
void startTimer(const std::string& name);
void stopTimer(const std::string& name);
// Starts the timer again without clearing what it has accumulated since its last start.
void resumeTimer(const std::string& name);
// Seconds accumulated by the timer since its last start; 0 for a timer never started.
double timerSeconds(const std::string& name);
// Process CPU seconds (all threads) accumulated since its last start; 0 for a timer never started.
double timerCpuSeconds(const std::string& name);
// A function called as each stage starts or resumes, on the thread that runs the pipeline and
// outside its parallel loops: a caller that wants to stop a run throws from it, and the run unwinds
// at that stage boundary. Null (the default) for none.
using StageStartHook = void (*)(const std::string& name);
void setStageStartHook(StageStartHook hook);
// Calls the start hook (when set) for a stage boundary that starts no timer: a task beside others
// times its stages apart, but its caller's thread may still stop the run there.
void stageBoundary(const std::string& name);
// Adds seconds to a timer as if it had run for them.
void addTimerSeconds(const std::string& name, double seconds, double cpuSeconds);

// While it lives, the timers the calling thread starts, resumes and stops are its own (all start
// from zero) and the start hook is not called: a task running beside others times its stages
// apart, and its caller adds the times up.
class StageTimerScope {
public:
    StageTimerScope();
    ~StageTimerScope();
    StageTimerScope(const StageTimerScope&) = delete;
    StageTimerScope& operator=(const StageTimerScope&) = delete;
    // Wall seconds accumulated by each timer of the scope, by name.
    std::map<std::string, double> seconds() const;

private:
    std::map<std::string, StageTimer> timers_;
    std::map<std::string, StageTimer>* previous_;
};

// Prints "***** <name> took <seconds> seconds." to standard output.
void printTimer(const std::string& name);

}  // namespace veltrix
