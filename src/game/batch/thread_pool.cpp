#include "game/batch/thread_pool.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <system_error>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace tavrin::batch {
namespace {

// How long a thread polls for what it waits on before it sleeps: about 50 microseconds, so that
// the threads of calls made back to back never sleep, while an idle pool gives its CPUs back at
// once. A caller waiting on a chunk of a thread the system parked sleeps after it too, which
// frees its core for the parked thread.
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

constexpr std::uint64_t generation_of(std::uint64_t next) noexcept { return next >> 32; }
constexpr std::uint64_t chunk_of(std::uint64_t next) noexcept { return next & 0xffffffffu; }

// The test delay: the slot in the high 32 bits, microseconds in the low.
std::atomic<std::uint64_t> test_delay{0};

}  // namespace

void ThreadPool::delay_slot_for_tests(std::size_t slot, unsigned microseconds) noexcept {
    test_delay.store(static_cast<std::uint64_t>(slot) << 32 | microseconds);
}

ThreadPool::ThreadPool(std::size_t threads) : owner_(getpid()) {
    const std::size_t workers = threads > 1 ? threads - 1 : 0;
    workers_.reserve(workers);
    try {
        for (std::size_t slot = 1; slot <= workers; ++slot) workers_.emplace_back([this, slot] { work(slot); });
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

std::size_t ThreadPool::take_chunks(std::size_t slot, std::uint64_t generation) noexcept {
    for (std::size_t ran = 0;; ++ran) {
        std::uint64_t next = next_.load();
        do {
            if (generation_of(next) != generation || chunk_of(next) >= chunks_.load(std::memory_order_relaxed)) return ran;
        } while (!next_.compare_exchange_weak(next, next + 1));
        // The chunk is ours, so the job stays current until it is counted done: its fields hold.
        const std::size_t chunks = chunks_.load(std::memory_order_relaxed);
        const std::size_t begin = chunk_of(next) * chunk_;
        const std::size_t end = begin + chunk_ < n_ ? begin + chunk_ : n_;
        if (const std::uint64_t delay = test_delay.load(std::memory_order_relaxed); delay != 0 && delay >> 32 == slot)
            std::this_thread::sleep_for(std::chrono::microseconds(delay & 0xffffffffu));
        if (!failed_.load(std::memory_order_relaxed)) {
            try {
                (*job_)(slot, begin, end);
            } catch (...) {
                std::lock_guard lock(sync_->mutex);
                if (!error_) error_ = std::current_exception();
                failed_.store(true);
            }
        }
        // After the last chunk's count the caller may return and start another job: nothing of
        // this one is read past this line.
        if (done_.fetch_add(1) + 1 == chunks) wake_sleepers();
    }
}

void ThreadPool::wake_sleepers() {
    if (sleepers_.load() == 0) return;
    // Taking the mutex orders this after a sleeper's last look at the counters.
    { std::lock_guard lock(sync_->mutex); }
    sync_->start.notify_all();
    sync_->finished.notify_all();
}

void ThreadPool::work(std::size_t slot) {
    std::uint64_t seen = 0;
    for (;;) {
        const auto started = [&] { return generation_of(next_.load()) != seen; };
        if (!spin_until(started)) {
            std::unique_lock lock(sync_->mutex);
            sleepers_.fetch_add(1);
            sync_->start.wait(lock, [&] { return stopping_ || started(); });
            sleepers_.fetch_sub(1);
            if (stopping_) return;
        }
        // A worker woken late may see a newer job than the one that woke it, or a job already
        // done: take_chunks takes only chunks of the generation read here, and none of a job done.
        seen = generation_of(next_.load());
        take_chunks(slot, seen);
    }
}

void ThreadPool::run(std::size_t n, const Fn& fn) {
    if (n == 0) return;
    if (workers_.empty() || getpid() != owner_ || solo_left_ > 0) {
        // One thread, a forked child without its workers, or the threads backing off: the whole
        // range at once.
        if (solo_left_ > 0) --solo_left_;
        fn(0, 0, n);
        return;
    }
    start(n, fn);
}

bool ThreadPool::run_checked(std::size_t n, const CheckFn& check, const Fn& commit) {
    // Two jobs back to back: the workers are still polling when the second starts, so it costs one
    // more hand-over and no sleep.
    std::atomic<bool> passed{true};
    run(n, [&](std::size_t slot, std::size_t begin, std::size_t end) {
        if (!check(slot, begin, end)) passed.store(false, std::memory_order_relaxed);
    });
    if (!passed.load()) return false;
    run(n, commit);
    return true;
}

void ThreadPool::start(std::size_t n, const Fn& fn) {
    job_ = &fn;
    n_ = n;
    chunk_ = chunk_size(n, threads());
    const std::size_t chunks = (n + chunk_ - 1) / chunk_;
    chunks_.store(chunks, std::memory_order_relaxed);
    done_.store(0);
    failed_.store(false);
    error_ = nullptr;
    // Publishing the new generation with its first chunk hands the job over: every field above
    // was written before it.
    const std::uint64_t generation = (generation_of(next_.load()) + 1) & 0xffffffffu;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point started = Clock::now();
    next_.store(generation << 32);
    wake_sleepers();
    const std::size_t mine = take_chunks(0, generation);
    const Clock::time_point own_done = Clock::now();
    const auto finished = [&] { return done_.load() == chunks; };
    if (!spin_until(finished)) {
        std::unique_lock lock(sync_->mutex);
        sleepers_.fetch_add(1);
        sync_->finished.wait(lock, finished);
        sleepers_.fetch_sub(1);
    }
    // The caller's pace over its own chunks says how long it would have taken alone.
    const auto together = Clock::now() - started;
    const auto alone = mine == 0 ? together : (own_done - started) * static_cast<long>(chunks) / static_cast<long>(mine);
    if (together > alone) {
        solo_left_ = backoff_;
        backoff_ = std::min(2 * backoff_, MAX_BACKOFF);
    } else {
        // Halved, not reset: on a machine that stays busy the threads win now and then, and a
        // reset would send them back into the next stall at once.
        backoff_ = std::max(backoff_ / 2, MIN_BACKOFF);
    }
    job_ = nullptr;
    // Every chunk has ended, so error_ is no longer written.
    if (std::exception_ptr error = std::exchange(error_, nullptr)) std::rethrow_exception(error);
}

}  // namespace tavrin::batch
