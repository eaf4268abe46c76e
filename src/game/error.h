// Internal faults and memory exhaustion: the two ways an engine operation can end abnormally.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrin {

// A violated precondition (an index outside a table, a translation off the board). Never raised
// by states reached through play; the Python layer turns it into the module's internal error.
class InternalError : public std::runtime_error {
 public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(std::string message);

// The fault text for an index outside a table of `len` entries.
[[noreturn]] void fail_index(std::size_t index, std::size_t len);

// Running out of the engine's own memory is not recoverable for a training process: say how much
// was asked for and end the process, as the allocator of a systems runtime would.
[[noreturn]] inline void out_of_memory(std::size_t bytes) noexcept {
    std::fprintf(stderr, "memory allocation of %zu bytes failed\n", bytes);
    std::fflush(stderr);
    std::abort();
}

// Allocator for the engine's growable arrays: never throws, ends the process on exhaustion.
template <class T>
struct AbortingAllocator {
    using value_type = T;
    AbortingAllocator() noexcept = default;
    template <class U>
    AbortingAllocator(const AbortingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T))
            out_of_memory(std::numeric_limits<std::size_t>::max());
        void* p = std::malloc(n * sizeof(T));
        if (p == nullptr) out_of_memory(n * sizeof(T));
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) noexcept { std::free(p); }

    template <class U>
    bool operator==(const AbortingAllocator<U>&) const noexcept { return true; }
};

template <class T>
using Vec = std::vector<T, AbortingAllocator<T>>;

}  // namespace tavrin
