#pragma once
#include <functional>

namespace veltrix {

// Worker threads for the per-vertex loops. Every index of a loop is handled exactly once and
// writes only its own results, so the outcome does not depend on the thread count. The bodies must
// not touch the process-wide random generator, the stage timers or the progress indicators; the
// calling thread alone advances the indicator.

// Threads used by parallelFor; n <= 0 selects the machine's cores (at least 1).
void setThreadCount(int n);
int threadCount();
// The machine's cores as the standard library reports them, at least 1.
int hardwareThreads();

// Calls body(index, worker) for every index in [0, n), worker in [0, threadCount()), on up to
// threadCount() threads (the calling thread is worker 0). With showProgress the plain progress
// indicator advances once per finished index, as a sequential loop would advance it. An exception
// thrown by a body is rethrown here after all threads have stopped.
void parallelFor(int n, const std::function<void(int index, int worker)>& body, bool showProgress = false);

// Calls body(task, worker) for every task in [0, n): for a few long, independent tasks, handed out
// one at a time in order to up to threadCount() threads (the calling thread is worker 0). Loops
// started inside a task (parallelFor, parallelTasks) run on that task's thread alone. Exceptions
// as in parallelFor.
void parallelTasks(int n, const std::function<void(int task, int worker)>& body);

}  // namespace veltrix
