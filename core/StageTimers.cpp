#include "core/StageTimers.h"

#include <chrono>
#include <ctime>
#include <ostream>

#include "core/Log.h"
#include <map>

namespace veltrix {

namespace {
using Clock = std::chrono::steady_clock;

int64_t counterNow() { return Clock::now().time_since_epoch().count(); }

// CPU time of the whole process, all threads together.
double processCpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

StageStartHook stageStartHook = nullptr;

int64_t counterFrequency() {
    return static_cast<int64_t>(Clock::period::den / Clock::period::num);
}

// The timers of the calling thread's StageTimerScope, if any.
thread_local std::map<std::string, StageTimer>* threadTimers = nullptr;

double secondsOf(const StageTimer& t) {
    return t.frequency > 0 ? t.elapsed / static_cast<double>(t.frequency) : 0.0;
}
}  // namespace

StageTimer& stageTimer(const std::string& name) {
    static std::map<std::string, StageTimer> processTimers;
    std::map<std::string, StageTimer>& registry = threadTimers ? *threadTimers : processTimers;
    auto it = registry.find(name);
    if (it == registry.end()) {
        StageTimer t;
        t.frequency = counterFrequency();
        it = registry.emplace(name, t).first;
    }
    return it->second;
}

void setStageStartHook(StageStartHook hook) { stageStartHook = hook; }

void stageBoundary(const std::string& name) {
    if (stageStartHook) stageStartHook(name);
}

void addTimerSeconds(const std::string& name, double seconds, double cpuSeconds) {
    StageTimer& t = stageTimer(name);
    t.elapsed += seconds * static_cast<double>(t.frequency);
    t.cpuElapsed += cpuSeconds;
}

StageTimerScope::StageTimerScope() : previous_(threadTimers) { threadTimers = &timers_; }

StageTimerScope::~StageTimerScope() { threadTimers = previous_; }

std::map<std::string, double> StageTimerScope::seconds() const {
    std::map<std::string, double> result;
    for (const auto& [name, t] : timers_)
        result[name] = secondsOf(t);
    return result;
}

void startTimer(const std::string& name) {
    if (!threadTimers) stageBoundary(name);
    StageTimer& t = stageTimer(name);
    t.elapsed = 0.0;
    t.cpuElapsed = 0.0;
    t.cpuStart = processCpuSeconds();
    t.start = counterNow();
}

void resumeTimer(const std::string& name) {
    if (!threadTimers) stageBoundary(name);
    StageTimer& t = stageTimer(name);
    t.cpuStart = processCpuSeconds();
    t.start = counterNow();
}

void stopTimer(const std::string& name) {
    StageTimer& t = stageTimer(name);
    t.stop = counterNow();
    t.elapsed += static_cast<double>(t.stop - t.start);
    t.cpuElapsed += processCpuSeconds() - t.cpuStart;
}

double timerCpuSeconds(const std::string& name) { return stageTimer(name).cpuElapsed; }

double timerSeconds(const std::string& name) { return secondsOf(stageTimer(name)); }

void printTimer(const std::string& name) {
    const StageTimer& t = stageTimer(name);
    logOut() << "***** " << name << " took " << t.elapsed / static_cast<double>(t.frequency)
              << " seconds." << std::endl;
}

}  // namespace veltrix
