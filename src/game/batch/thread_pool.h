// A fixed pool of worker threads that runs one function over contiguous ranges of an index space.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace tavrin::batch {

// The system would not start the pool's threads; those started were stopped.
struct PoolStartError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class ThreadPool {
 public:
    // `threads` ranges run at once: the caller's thread takes the first, threads − 1 workers the rest.
    explicit ThreadPool(std::size_t threads);
    ~ThreadPool();

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::size_t threads() const noexcept { return workers_.size() + 1; }

    // Calls fn(part, begin, end) once for each of threads() consecutive parts of [0, n), in
    // parallel, and returns when all are done. Parts depend only on n and threads(), so a caller
    // that keeps one result slot per part combines them in a fixed order. The first exception
    // thrown by any part is rethrown here after every part has finished.
    void run(std::size_t n, const std::function<void(std::size_t, std::size_t, std::size_t)>& fn);

    // Calls check(part, begin, end) for every part as run does and, once every part has returned
    // true, commit(part, begin, end) for every part, on the thread that checked it (whose cache
    // holds what it read). Returns whether commit ran. Checking every input of a batch before
    // changing anything costs one short wait between the calls instead of a second job, and no
    // copy of the data to roll back to.
    using CheckFn = std::function<bool(std::size_t, std::size_t, std::size_t)>;
    bool run_checked(std::size_t n, const CheckFn& check, const std::function<void(std::size_t, std::size_t, std::size_t)>& commit);

    // Part `part` of [0, n) split into `parts` nearly equal consecutive ranges.
    static std::pair<std::size_t, std::size_t> range(std::size_t n, std::size_t parts, std::size_t part) noexcept {
        return {n * part / parts, n * (part + 1) / parts};
    }

 private:
    void stop_workers();
    void start(std::size_t n, const std::function<void(std::size_t, std::size_t, std::size_t)>& fn, const CheckFn* check);
    void work(std::size_t part);
    void wait_for_checks();
    void wake_sleepers();
    void run_part(std::size_t part) noexcept;

    struct Sync {
        std::mutex mutex;
        std::condition_variable start;
        std::condition_variable finished;
    };

    // The process that started the workers. A forked child inherits the pool without them (fork
    // copies only the calling thread), so there `run` works through the parts itself, in order, and
    // the destructor leaves the absent workers and their synchronisation alone: joining them, or
    // destroying a condition variable they were waiting on, would wait for ever.
    pid_t owner_;
    std::unique_ptr<Sync> sync_ = std::make_unique<Sync>();
    std::vector<std::thread> workers_;
    const std::function<void(std::size_t, std::size_t, std::size_t)>* job_ = nullptr;
    std::size_t n_ = 0;
    // With run_checked: the checks, the parts that finished theirs and whether all passed.
    const CheckFn* check_ = nullptr;
    std::atomic<std::size_t> checked_{0};
    std::atomic<bool> passed_{true};
    // A job is handed over through these two counters alone while the threads poll (a batch step
    // lasts tens of microseconds and runs one job): a mutex taken on every
    // hand-over would move its cache line between the cores four times per job. A thread that
    // polled in vain goes to sleep under the mutex, counted in `sleepers_`, and whoever changes
    // the counter it waits on wakes it. The counters and `sleepers_` are sequentially consistent:
    // either the sleeper sees the change before it sleeps, or the changer sees the sleeper.
    std::atomic<std::size_t> generation_{0};  // counts jobs, so a worker runs once per job
    std::atomic<std::size_t> pending_{0};     // worker parts of the current job still running
    std::atomic<std::size_t> sleepers_{0};    // threads asleep or about to sleep
    bool stopping_ = false;
    std::exception_ptr error_;
};

}  // namespace tavrin::batch
