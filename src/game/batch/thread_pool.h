// A fixed pool of worker threads that runs one function over an index space in small chunks,
// which the threads take from a shared counter as they free up.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace tavrin::batch {

// The system would not start the pool's threads; those started were stopped.
struct PoolStartError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class ThreadPool {
 public:
    // `threads` threads work at once: the caller's thread (slot 0) and threads − 1 workers.
    explicit ThreadPool(std::size_t threads);
    ~ThreadPool();

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::size_t threads() const noexcept { return workers_.size() + 1; }

    using Fn = std::function<void(std::size_t, std::size_t, std::size_t)>;

    // Calls fn(slot, begin, end) for consecutive chunks [begin, end) that cover [0, n) once, and
    // returns when all are done. A chunk goes to whichever thread asks for work next, so a thread
    // the system parks holds up at most the chunk it is on: which thread serves which index
    // changes from call to call, and a caller's results must not depend on it (keep per-index
    // results, and combine them in index order). `slot` (below threads()) names the thread
    // running the chunk, for scratch space kept per thread; the caller's thread is slot 0 and
    // works too, and runs a job alone for a while after the threads lost time to a parked one
    // (see backoff_). The first exception thrown by a chunk is rethrown here once every chunk taken
    // has ended; the chunks not yet taken then do not run.
    void run(std::size_t n, const Fn& fn);

    // Calls check(slot, begin, end) over chunks of [0, n) as run does and, once every chunk has
    // been checked and every check returned true, commit(slot, begin, end) over chunks again.
    // Returns whether commit ran. A check that fails leaves the chunks after it to be checked all
    // the same, so every index below a refused one has been checked.
    using CheckFn = std::function<bool(std::size_t, std::size_t, std::size_t)>;
    bool run_checked(std::size_t n, const CheckFn& check, const Fn& commit);

    // The games in a chunk of a job of n indexes on `threads` threads: about eight chunks per
    // thread, so that the last chunks even out the threads' pace, and no fewer than two indexes.
    static std::size_t chunk_size(std::size_t n, std::size_t threads) noexcept {
        const std::size_t size = n / (8 * threads);
        return size < 2 ? 2 : size;
    }

    // For tests: every chunk slot `slot` takes starts that many microseconds late (0: none), as if
    // the system parked that thread; results must not change. One setting for every pool.
    static void delay_slot_for_tests(std::size_t slot, unsigned microseconds) noexcept;

 private:
    void stop_workers();
    void work(std::size_t slot);
    // Runs the current job (generation `generation`) on `slot` until no chunk is left; returns the
    // chunks it ran.
    std::size_t take_chunks(std::size_t slot, std::uint64_t generation) noexcept;
    void start(std::size_t n, const Fn& fn);
    void wake_sleepers();

    struct Sync {
        std::mutex mutex;
        std::condition_variable start;
        std::condition_variable finished;
    };

    // The process that started the workers. A forked child inherits the pool without them (fork
    // copies only the calling thread), so there `run` takes every chunk itself, and the destructor
    // leaves the absent workers and their synchronisation alone: joining them, or destroying a
    // condition variable they were waiting on, would wait for ever.
    pid_t owner_;
    std::unique_ptr<Sync> sync_ = std::make_unique<Sync>();
    std::vector<std::thread> workers_;
    // The current job; written by the caller before it publishes the job's generation, and read
    // by a thread only after it took one of the job's chunks, which keeps the job from ending.
    const Fn* job_ = nullptr;
    std::size_t n_ = 0;
    std::size_t chunk_ = 1;
    // Read before a chunk is taken, by threads that may hold a stale generation (their take then
    // fails): atomic so that such a read is no race.
    std::atomic<std::size_t> chunks_{0};
    // The job's generation (high 32 bits) and the next chunk to take (low 32 bits), in one word:
    // a thread takes a chunk by one compare-and-swap that fails if a newer job replaced the one it
    // saw, so a worker woken late never runs a chunk of a job it did not read.
    std::atomic<std::uint64_t> next_{0};
    std::atomic<std::size_t> done_{0};     // chunks of the current job that ended
    std::atomic<bool> failed_{false};      // a chunk threw: the chunks not yet taken are skipped
    // A thread that polled in vain goes to sleep under the mutex, counted in `sleepers_`, and
    // whoever changes what it waits on wakes it. These counters are sequentially consistent:
    // either the sleeper sees the change before it sleeps, or the changer sees the sleeper.
    std::atomic<std::size_t> sleepers_{0};
    bool stopping_ = false;
    std::exception_ptr error_;
    // A job whose threads took longer than the caller alone would have (a worker the system
    // parked in the middle of a chunk, on a machine busy with other work) makes the caller run
    // the next `solo_left_` jobs alone: `backoff_` of them, doubling while the threads keep losing
    // and halving each time they win. The caller's thread only: results never depend on it.
    std::size_t solo_left_ = 0;
    std::size_t backoff_ = MIN_BACKOFF;
    static constexpr std::size_t MIN_BACKOFF = 4, MAX_BACKOFF = 1024;
};

}  // namespace tavrin::batch
