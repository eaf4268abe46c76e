#include "game/planes.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavrin {

void stream_copy(std::uint8_t* to, const std::uint8_t* from, std::size_t bytes) noexcept {
#if defined(__SSE2__)
    if ((reinterpret_cast<std::uintptr_t>(to) & 15) == 0) {
        for (std::size_t j = 0; j < bytes; j += 16)
            _mm_stream_si128(reinterpret_cast<__m128i*>(to + j), _mm_load_si128(reinterpret_cast<const __m128i*>(from + j)));
        return;
    }
#endif
    std::memcpy(to, from, bytes);
}

void end_writes() noexcept {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// A plain loop of 16- or 8-byte stores, which the compiler widens: the library's memset pays a
// start-up cost on every call that a 400-byte fill does not repay.
void fill_plane(std::uint8_t* out, std::uint8_t value) noexcept {
#if defined(__SSE2__)
    // The batch's planes start 16-byte aligned (400 bytes each, from a 64-byte aligned game). The
    // cache lines a plane fills whole go out with streaming stores, which skip reading the old
    // line first: a full observation rewrites dozens of these planes per ply, and that read
    // doubled the memory traffic. A line it shares with the next plane is written through the
    // cache: a streamed part of a line reaches memory as a slow partial write.
    if ((reinterpret_cast<std::uintptr_t>(out) & 15) == 0) {
        const __m128i v = _mm_set1_epi8(static_cast<char>(value));
        std::uint8_t* const end = out + CELL_COUNT;
        std::uint8_t* const lines = reinterpret_cast<std::uint8_t*>((reinterpret_cast<std::uintptr_t>(out) + 63) & ~std::uintptr_t{63});
        std::uint8_t* const lines_end = reinterpret_cast<std::uint8_t*>(reinterpret_cast<std::uintptr_t>(end) & ~std::uintptr_t{63});
        std::uint8_t* p = out;
        for (; p < lines; p += 16) _mm_store_si128(reinterpret_cast<__m128i*>(p), v);
        for (; p < lines_end; p += 16) _mm_stream_si128(reinterpret_cast<__m128i*>(p), v);
        for (; p < end; p += 16) _mm_store_si128(reinterpret_cast<__m128i*>(p), v);
        return;
    }
#endif
    const std::uint64_t word = value * 0x0101010101010101ull;
    for (std::size_t j = 0; j < CELL_COUNT; j += 8) std::memcpy(out + j, &word, 8);
}

}  // namespace tavrin
