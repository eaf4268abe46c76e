#include "game/batch/thread_pool.h"

#include <unistd.h>

#include <string>
#include <system_error>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace tavrin::batch {
namespace {

// How long a thread polls for what it waits on before it sleeps: about 50 microseconds, so that a
// pool between a checked job's checks and its commits, or between the jobs of calls made back to
// back, never sleeps, while an idle one gives its CPU back at once.
constexpr int SPINS = 20000;

inline void relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

// Polls `done` for a while; whether it became true.
template <class F>
bool spin_until(F&& done) noexcept {
    for (int i = 0; i < SPINS; ++i) {
        if (done()) return true;
        relax();
    }
    return false;
}

}  // namespace

ThreadPool::ThreadPool(std::size_t threads) : owner_(getpid()) {
    const std::size_t workers = threads > 1 ? threads - 1 : 0;
    workers_.reserve(workers);
    try {
        for (std::size_t part = 1; part <= workers; ++part) workers_.emplace_back([this, part] { work(part); });
    } catch (const std::system_error& e) {
        // The system refused a thread (a memory or process limit): the destructor will not run for
        // a half-built pool, and a std::thread destroyed unjoined ends the process, so the threads
        // already started are stopped and joined here.
        stop_workers();
        throw PoolStartError("cannot start " + std::to_string(workers) + " worker threads: " + e.what());
    }
}

void ThreadPool::stop_workers() {
    {
        std::lock_guard lock(sync_->mutex);
        stopping_ = true;
    }
    sync_->start.notify_all();  // the workers poll first, then sleep: they see stopping_ at once only asleep
    for (std::thread& t : workers_) t.join();
    workers_.clear();
}

ThreadPool::~ThreadPool() {
    if (getpid() != owner_) {
        for (std::thread& t : workers_) t.detach();
        (void)sync_.release();  // leaked on purpose: see owner_
        return;
    }
    stop_workers();
}

void ThreadPool::run_part(std::size_t part) noexcept {
    const auto [begin, end] = range(n_, threads(), part);
    const auto keep_error = [&] {
        std::lock_guard lock(sync_->mutex);
        if (!error_) error_ = std::current_exception();
    };
    if (check_ != nullptr) {
        bool passed = false;
        try {
            passed = begin >= end || (*check_)(part, begin, end);
        } catch (...) {
            keep_error();
        }
        if (!passed) passed_.store(false);
        if (checked_.fetch_add(1) + 1 == threads()) wake_sleepers();
        wait_for_checks();
        if (!passed_.load()) return;
    }
    try {
        if (begin < end) (*job_)(part, begin, end);
    } catch (...) {
        keep_error();
    }
}

void ThreadPool::wait_for_checks() {
    const auto all = [&] { return checked_.load() == threads(); };
    if (spin_until(all)) return;
    std::unique_lock lock(sync_->mutex);
    sleepers_.fetch_add(1);
    sync_->finished.wait(lock, all);
    sleepers_.fetch_sub(1);
}

void ThreadPool::wake_sleepers() {
    if (sleepers_.load() == 0) return;
    // Taking the mutex orders this after a sleeper's last look at the counters.
    { std::lock_guard lock(sync_->mutex); }
    sync_->start.notify_all();
    sync_->finished.notify_all();
}

void ThreadPool::work(std::size_t part) {
    std::size_t seen = 0;
    for (;;) {
        const auto started = [&] { return generation_.load() != seen; };
        if (!spin_until(started)) {
            std::unique_lock lock(sync_->mutex);
            sleepers_.fetch_add(1);
            sync_->start.wait(lock, [&] { return stopping_ || started(); });
            sleepers_.fetch_sub(1);
            if (stopping_) return;
        }
        // The job's fields were written before the generation changed.
        seen = generation_.load();
        run_part(part);
        if (pending_.fetch_sub(1) == 1) wake_sleepers();
    }
}

void ThreadPool::run(std::size_t n, const std::function<void(std::size_t, std::size_t, std::size_t)>& fn) {
    if (workers_.empty()) {
        if (n > 0) fn(0, 0, n);
        return;
    }
    if (getpid() != owner_) {
        // The same parts as the workers would take, so results do not change.
        for (std::size_t part = 0; part < threads(); ++part) {
            const auto [begin, end] = range(n, threads(), part);
            if (begin < end) fn(part, begin, end);
        }
        return;
    }
    start(n, fn, nullptr);
}

bool ThreadPool::run_checked(std::size_t n, const CheckFn& check, const std::function<void(std::size_t, std::size_t, std::size_t)>& commit) {
    if (workers_.empty() || getpid() != owner_) {
        // One thread, or a forked child without the workers: every check, then every commit.
        for (std::size_t part = 0; part < threads(); ++part) {
            const auto [begin, end] = range(n, threads(), part);
            if (begin < end && !check(part, begin, end)) return false;
        }
        run(n, commit);
        return true;
    }
    checked_.store(0);
    passed_.store(true);
    start(n, commit, &check);
    return passed_.load();
}

void ThreadPool::start(std::size_t n, const std::function<void(std::size_t, std::size_t, std::size_t)>& fn, const CheckFn* check) {
    job_ = &fn;
    check_ = check;
    n_ = n;
    error_ = nullptr;
    pending_.store(workers_.size());
    generation_.fetch_add(1);
    wake_sleepers();
    run_part(0);
    const auto finished = [&] { return pending_.load() == 0; };
    if (!spin_until(finished)) {
        std::unique_lock lock(sync_->mutex);
        sleepers_.fetch_add(1);
        sync_->finished.wait(lock, finished);
        sleepers_.fetch_sub(1);
    }
    job_ = nullptr;
    check_ = nullptr;
    // Every part has finished, so error_ is no longer written.
    if (std::exception_ptr error = std::exchange(error_, nullptr)) std::rethrow_exception(error);
}

}  // namespace tavrin::batch
