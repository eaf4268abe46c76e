#include "game/batch/arrays.h"

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tavrin::batch {
namespace {
// Arrays from this size up are mapped on their own and asked for huge pages: a step writes a few
// scattered cache lines in each game's 36 KB mask row and 40 KB of planes, and with 4 KB pages
// nearly every such write would also miss the TLB.
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
}  // namespace

void ArrayFree::operator()(void* p) const noexcept {
#if defined(__linux__)
    if (base != nullptr) {
        ::munmap(base, bytes);
        return;
    }
#endif
    std::free(p);
}

void* allocate_zeroed(std::size_t count, std::size_t size, ArrayFree& free) {
    free = ArrayFree{};
    if (count == 0) return nullptr;
    if (count > std::numeric_limits<std::size_t>::max() / size - HUGE_PAGE) throw std::bad_alloc();
    const std::size_t bytes = count * size;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= HUGE_PAGE) {
        // Anonymous pages read as zero and are mapped on first touch, like calloc's; one huge page
        // more than needed lets the array start on a huge-page boundary.
        const std::size_t mapped = bytes + HUGE_PAGE;
        void* base = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) throw std::bad_alloc();
        const auto start = (reinterpret_cast<std::uintptr_t>(base) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
        // Advice only: without huge pages the array works the same, a little slower.
        (void)::madvise(reinterpret_cast<void*>(start), bytes, MADV_HUGEPAGE);
        free = ArrayFree{base, mapped};
        return reinterpret_cast<void*>(start);
    }
#endif
    // calloc: zeroed pages are mapped on first touch, so an unused array costs nothing.
    void* p = std::calloc(count, size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace tavrin::batch
