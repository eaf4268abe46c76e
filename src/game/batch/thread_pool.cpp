#include "game/batch/thread_pool.h"

namespace tavrin::batch {

ThreadPool::ThreadPool(std::size_t threads) {
    const std::size_t workers = threads > 1 ? threads - 1 : 0;
    workers_.reserve(workers);
    for (std::size_t part = 1; part <= workers; ++part) workers_.emplace_back([this, part] { work(part); });
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    start_.notify_all();
    for (std::thread& t : workers_) t.join();
}

void ThreadPool::run_part(std::size_t part) noexcept {
    const auto [begin, end] = range(n_, threads(), part);
    try {
        if (begin < end) (*job_)(part, begin, end);
    } catch (...) {
        std::lock_guard lock(mutex_);
        if (!error_) error_ = std::current_exception();
    }
}

void ThreadPool::work(std::size_t part) {
    std::size_t seen = 0;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            start_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
        }
        run_part(part);
        bool last = false;
        {
            std::lock_guard lock(mutex_);
            last = --pending_ == 0;
        }
        if (last) finished_.notify_one();
    }
}

void ThreadPool::run(std::size_t n, const std::function<void(std::size_t, std::size_t, std::size_t)>& fn) {
    if (workers_.empty()) {
        if (n > 0) fn(0, 0, n);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        job_ = &fn;
        n_ = n;
        error_ = nullptr;
        pending_ = workers_.size();
        ++generation_;
    }
    start_.notify_all();
    run_part(0);
    std::exception_ptr error;
    {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [&] { return pending_ == 0; });
        job_ = nullptr;
        error = std::exchange(error_, nullptr);
    }
    if (error) std::rethrow_exception(error);
}

}  // namespace tavrin::batch
