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

// A borrow of the object whose flag it takes: shared (a reader's) or exclusive (a writer's, which
// excludes readers and other writers). Check it before touching the object: an empty guard has set
// RuntimeError. Released on every path, a throw included.
template <bool Exclusive>
class Borrow {
 public:
    explicit Borrow(BorrowFlag& flag) noexcept {
        if (take(flag)) {
            flag_ = &flag;
            return;
        }
        PyErr_SetString(PyExc_RuntimeError, Exclusive ? "Already borrowed" : "Already mutably borrowed");
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() {
        if (flag_ == nullptr) return;
        // Release: our accesses are finished (a writer's writes published) before whoever takes
        // the flag next can begin.
        if constexpr (Exclusive)
            flag_->store(0, std::memory_order_release);
        else
            flag_->fetch_sub(1, std::memory_order_release);
    }

    explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
    static bool take(BorrowFlag& flag) noexcept {
        if constexpr (Exclusive) {
            std::int32_t expected = 0;
            // Acquire on success: every earlier reader's and writer's accesses happen before ours.
            // Relaxed on failure: nothing is read on that path.
            return flag.compare_exchange_strong(expected, MUTABLY_BORROWED, std::memory_order_acquire,
                                                std::memory_order_relaxed);
        } else {
            // Relaxed: this read is only the first guess for the compare-and-swap below.
            std::int32_t seen = flag.load(std::memory_order_relaxed);
            while (seen != MUTABLY_BORROWED) {
                // Acquire on success: the writes of the last writer's release become visible
                // before we read the object. Relaxed on failure: we only retry with the value seen.
                if (flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed))
                    return true;
            }
            return false;
        }
    }

    BorrowFlag* flag_ = nullptr;
};

using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

}  // namespace tavrin::python
