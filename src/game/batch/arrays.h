// The batch's arrays: one allocation each, zeroed, and mapped on huge pages from 2 MB up.
#pragma once

#include <cstddef>
#include <memory>

namespace tavrin::batch {

// Frees an array from allocate_array: a mapping of `bytes` bytes at `base` for a large one, the C
// heap otherwise.
struct ArrayFree {
    void* base = nullptr;
    std::size_t bytes = 0;
    void operator()(void* p) const noexcept;
};

template <class T>
using Array = std::unique_ptr<T[], ArrayFree>;

// `count` elements of `size` bytes, zeroed; `free` is set to what releases them. Null for count 0;
// throws std::bad_alloc when memory is short.
void* allocate_zeroed(std::size_t count, std::size_t size, ArrayFree& free);

// `count` zeroed elements of a trivially copyable T (zero bytes are a valid T for every array
// the batch holds).
template <class T>
Array<T> allocate_array(std::size_t count) {
    ArrayFree free;
    T* p = static_cast<T*>(allocate_zeroed(count, sizeof(T), free));
    return Array<T>(p, free);
}

}  // namespace tavrin::batch
