#include "core/Parallel.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "core/Progress.h"

namespace veltrix {

namespace {
int& configuredThreads() {
    static int n = hardwareThreads();
    return n;
}

// Set while a thread runs the body of a parallel loop: loops nested in it stay on that thread.
thread_local bool insideWorker = false;

// Runs work(worker) on `workers` new threads, the calling thread being worker 0, and marks them as
// inside a loop for the time.
void runOnNewThreads(int workers, const std::function<void(int worker)>& work) {
    std::vector<std::thread> threads;
    threads.reserve(size_t(workers - 1));
    for (int w = 1; w < workers; ++w)
        threads.emplace_back([&work, w] {
            insideWorker = true;
            work(w);
        });
    const bool outer = insideWorker;
    insideWorker = true;
    work(0);
    insideWorker = outer;
    for (std::thread& t : threads) t.join();
}

// Threads kept waiting between loops: a graph cut runs thousands of short loops, and starting
// threads for each cost more than some of the loops themselves. One loop at a time uses them; a
// loop started meanwhile from another thread (or in a forked child, which has none of them) starts
// its own threads as before.
class WorkerPool {
public:
    ~WorkerPool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

    // False when the pool is busy or belongs to another process; the caller then runs the loop
    // itself.
    bool run(int workers, const std::function<void(int worker)>& work) {
        std::unique_lock<std::mutex> busy(busy_, std::try_to_lock);
        if (!busy.owns_lock() || ::getpid() != owner_) return false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            while (int(threads_.size()) < workers - 1) {
                const int index = int(threads_.size()) + 1;
                threads_.emplace_back([this, index] { serve(index); });
            }
            work_ = &work;
            workers_ = workers;
            running_ = workers - 1;
            ++generation_;
        }
        wake_.notify_all();
        const bool outer = insideWorker;
        insideWorker = true;
        work(0);
        insideWorker = outer;
        std::unique_lock<std::mutex> lock(mutex_);
        finished_.wait(lock, [this] { return running_ == 0; });
        work_ = nullptr;
        return true;
    }

private:
    void serve(int index) {
        insideWorker = true;
        unsigned seen = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            if (index >= workers_) continue;
            const std::function<void(int)>* work = work_;
            lock.unlock();
            (*work)(index);
            lock.lock();
            if (--running_ == 0) finished_.notify_one();
        }
    }

    const pid_t owner_ = ::getpid();
    std::mutex busy_;   // held for the whole of one loop
    std::mutex mutex_;  // guards the fields below
    std::condition_variable wake_, finished_;
    std::vector<std::thread> threads_;
    const std::function<void(int)>* work_ = nullptr;
    int workers_ = 0, running_ = 0;
    unsigned generation_ = 0;
    bool stopping_ = false;
};

// Runs work(worker) on `workers` threads, the calling thread being worker 0.
void runWorkers(int workers, const std::function<void(int worker)>& work) {
    static WorkerPool pool;
    if (!pool.run(workers, work)) runOnNewThreads(workers, work);
}
}  // namespace

int hardwareThreads() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 0 ? int(cores) : 1;
}

void setThreadCount(int n) { configuredThreads() = n > 0 ? n : hardwareThreads(); }

int threadCount() { return configuredThreads(); }

void parallelFor(int n, const std::function<void(int index, int worker)>& body, bool showProgress) {
    if (n <= 0) return;
    // A thread costs more to start than a few dozen short bodies take.
    const int workers = insideWorker ? 1 : std::min(threadCount(), std::max(1, n / 32));
    if (workers <= 1) {
        for (int i = 0; i < n; ++i) {
            body(i, 0);
            if (showProgress) progress(i, false);
        }
        return;
    }

    // Small blocks handed out in order keep the threads busy to the end of uneven loops.
    const int block = std::max(1, std::min(256, n / (workers * 16)));
    std::atomic<int> next{0};
    std::atomic<int> finished{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex errorMutex;
    int reported = 0;  // indices already passed to the indicator (calling thread only)

    auto work = [&](int worker) {
        for (;;) {
            if (failed.load(std::memory_order_relaxed)) return;
            const int begin = next.fetch_add(block);
            if (begin >= n) return;
            const int end = std::min(n, begin + block);
            try {
                for (int i = begin; i < end; ++i) body(i, worker);
            } catch (...) {
                std::lock_guard<std::mutex> lock(errorMutex);
                if (!error) error = std::current_exception();
                failed = true;
                return;
            }
            finished.fetch_add(end - begin);
            if (worker == 0 && showProgress) {
                const int done = finished.load();
                for (; reported < done; ++reported) progress(reported, false);
            }
        }
    };

    runWorkers(workers, work);
    if (error) std::rethrow_exception(error);
    if (showProgress)
        for (; reported < n; ++reported) progress(reported, false);
}

void parallelTasks(int n, const std::function<void(int task, int worker)>& body) {
    if (n <= 0) return;
    const int workers = insideWorker ? 1 : std::min(threadCount(), n);
    if (workers <= 1) {
        for (int i = 0; i < n; ++i) body(i, 0);
        return;
    }
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex errorMutex;
    runWorkers(workers, [&](int worker) {
        for (;;) {
            if (failed.load(std::memory_order_relaxed)) return;
            const int task = next.fetch_add(1);
            if (task >= n) return;
            try {
                body(task, worker);
            } catch (...) {
                std::lock_guard<std::mutex> lock(errorMutex);
                if (!error) error = std::current_exception();
                failed = true;
                return;
            }
        }
    });
    if (error) std::rethrow_exception(error);
}

}  // namespace veltrix
