// The borrow flag every object of the module carries, and the two guards that take it.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace tavrin::python {

// 0 free, n > 0 that many readers, -1 one writer. The module runs without the interpreter's lock,
// so this flag is what keeps a game from being read while it changes. A conflict fails at once
// instead of waiting: a waiter could be the very thread that holds the borrow (an `__index__` that
// reads the game it is being passed to), and waiting while attached to the interpreter would stall
// it.
using BorrowFlag = std::atomic<std::int32_t>;

inline constexpr std::int32_t MUTABLY_BORROWED = -1;

// A reader's borrow. Check it before touching the object: an empty guard has set RuntimeError.
class SharedBorrow {
 public:
    explicit SharedBorrow(BorrowFlag& flag) noexcept {
        // Relaxed: this read is only the first guess for the compare-and-swap below.
        std::int32_t seen = flag.load(std::memory_order_relaxed);
        while (seen != MUTABLY_BORROWED) {
            // Acquire on success: the writes of the last writer's release become visible before we
            // read the object. Relaxed on failure: we only retry with the value seen.
            if (flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
                flag_ = &flag;
                return;
            }
        }
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() {
        // Release: our reads are finished before a writer that sees the count drop can begin.
        if (flag_ != nullptr) flag_->fetch_sub(1, std::memory_order_release);
    }

    explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
    BorrowFlag* flag_ = nullptr;
};

// A writer's borrow: excludes readers and other writers. Check it like SharedBorrow.
class ExclusiveBorrow {
 public:
    explicit ExclusiveBorrow(BorrowFlag& flag) noexcept {
        std::int32_t expected = 0;
        // Acquire on success: every earlier reader's and writer's accesses happen before ours.
        // Relaxed on failure: nothing is read on that path.
        if (flag.compare_exchange_strong(expected, MUTABLY_BORROWED, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
            flag_ = &flag;
            return;
        }
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() {
        // Release: our writes are published to whoever takes the flag next.
        if (flag_ != nullptr) flag_->store(0, std::memory_order_release);
    }

    explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
    BorrowFlag* flag_ = nullptr;
};

}  // namespace tavrin::python
