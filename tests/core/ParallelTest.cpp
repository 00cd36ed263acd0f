#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/Log.h"
#include "core/Parallel.h"
#include "core/Progress.h"
#include "core/Random.h"
#include "core/StageTimers.h"

using namespace veltrix;

namespace {

// Restores the thread count a test changed.
struct ThreadCountGuard {
    int saved = threadCount();
    ~ThreadCountGuard() { setThreadCount(saved); }
};

}  // namespace

TEST(ParallelFor, EveryIndexOnceAndTheSameProgressForAnyThreadCount) {
    ThreadCountGuard guard;
    setThreadCount(0);
    EXPECT_EQ(threadCount(), hardwareThreads());
    std::string expectedProgress;
    for (int threads : {1, 2, 3}) {
        setThreadCount(threads);
        const int n = 5000;
        std::vector<int> visits(n, 0), workers(n, -1);
        LogCapture capture;
        progress(n, true);
        parallelFor(
            n,
            [&](int i, int worker) {
                ++visits[i];
                workers[i] = worker;
            },
            true);
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(visits[i], 1) << i;
            ASSERT_GE(workers[i], 0);
            ASSERT_LT(workers[i], threads);
        }
        if (threads == 1) expectedProgress = capture.out();
        EXPECT_EQ(capture.out(), expectedProgress) << threads << " threads";
    }
    EXPECT_EQ(expectedProgress, " - 000% 025% 050% 075% 100%");
}

TEST(ParallelFor, ExceptionReachesTheCaller) {
    ThreadCountGuard guard;
    for (int threads : {1, 2}) {
        setThreadCount(threads);
        EXPECT_THROW(parallelFor(1000,
                                 [](int i, int) {
                                     if (i == 700) throw std::runtime_error("body failed");
                                 }),
                     std::runtime_error);
    }
}

TEST(ParallelTasks, EveryTaskOnceAndNestedLoopsStayOnTheTaskThread) {
    ThreadCountGuard guard;
    for (int threads : {1, 2, 3}) {
        setThreadCount(threads);
        const int n = 7;
        std::vector<int> visits(n, 0), inner(n, 0);
        std::vector<int> nestedElsewhere(n, 0);
        parallelTasks(n, [&](int task, int worker) {
            ASSERT_LT(worker, threads);
            ++visits[task];
            const std::thread::id here = std::this_thread::get_id();
            parallelFor(1000, [&](int, int innerWorker) {
                if (innerWorker != 0 || std::this_thread::get_id() != here) nestedElsewhere[task] = 1;
                ++inner[task];
            });
        });
        for (int t = 0; t < n; ++t) {
            EXPECT_EQ(visits[t], 1);
            EXPECT_EQ(inner[t], 1000);
            EXPECT_EQ(nestedElsewhere[t], 0) << threads << " threads";
        }
        EXPECT_THROW(parallelTasks(n,
                                   [](int task, int) {
                                       if (task == 5) throw std::runtime_error("task failed");
                                   }),
                     std::runtime_error);
    }
}

TEST(ParallelFor, LoopsFromSeveralThreadsAtOnceEachVisitEveryIndexOnce) {
    ThreadCountGuard guard;
    setThreadCount(3);
    // The kept worker threads serve one loop at a time; the other callers start their own.
    std::vector<long> sums(4, 0);
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c)
        callers.emplace_back([&sums, c] {
            for (int round = 0; round < 200; ++round) {
                std::vector<int> visits(300, 0);
                parallelFor(300, [&](int i, int) { ++visits[size_t(i)]; });
                for (int v : visits) sums[size_t(c)] += v;
            }
        });
    for (std::thread& t : callers) t.join();
    for (long sum : sums) EXPECT_EQ(sum, 200 * 300);
}

// Tasks side by side, each with its own random draws, log lines and stage timers, as restarts
// run: what each task draws and writes does not depend on the thread count.
TEST(ParallelTasks, ScopedDrawsLinesAndTimersStayWithTheirTask) {
    ThreadCountGuard guard;
    for (int threads : {1, 2}) {
        setThreadCount(threads);
        std::vector<std::string> lines(4);
        std::vector<double> timed(4, -1);
        LogCapture shared;
        parallelTasks(4, [&](int task, int) {
            ThreadLogCapture capture;
            RandomStreamScope draws(Sfmt19937(uint32_t(100 + task)));
            StageTimerScope timers;
            resumeTimer("stage");
            for (int i = 0; i < 3; ++i) logOut() << randomU32() << ' ';
            stopTimer("stage");
            lines[size_t(task)] = capture.out();
            timed[size_t(task)] = timers.seconds().at("stage");
        });
        EXPECT_EQ(shared.out(), "");
        for (int task = 0; task < 4; ++task) {
            Sfmt19937 reference(uint32_t(100 + task));
            std::string expected;
            for (int i = 0; i < 3; ++i) expected += std::to_string(reference.next32()) + ' ';
            EXPECT_EQ(lines[size_t(task)], expected) << threads << " threads";
            EXPECT_GE(timed[size_t(task)], 0.0);
        }
    }
}
