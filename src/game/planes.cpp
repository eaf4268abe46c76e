#include "game/planes.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavrin {
namespace {

// SPREAD[b] holds byte j = bit j of b, in memory order.
constexpr std::array<std::uint64_t, 256> SPREAD = [] {
    std::array<std::uint64_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b)
        for (unsigned j = 0; j < 8; ++j)
            if ((b >> j) & 1u) t[b] |= std::uint64_t{1} << (8 * (std::endian::native == std::endian::little ? j : 7 - j));
    return t;
}();

// The 20 cells of row r of `b`, column 0 in bit 0; the spare position after the row is dropped.
inline std::uint32_t row_bits(const Bitboard& b, unsigned r) noexcept {
    const unsigned p = r * ROW_STRIDE, w = p / 64, s = p % 64;
    std::uint64_t v = b.word(w) >> s;
    if (s > 64 - BOARD_SIDE) v |= b.word(w + 1) << (64 - s);
    return static_cast<std::uint32_t>(v & ((std::uint64_t{1} << BOARD_SIDE) - 1));
}

}  // namespace

// Row by row, eight cells per table read and 8-byte store: a board with hundreds of cells costs
// no more than an empty one.
void write_plane(const Bitboard& b, std::uint8_t* out) noexcept {
    for (unsigned r = 0; r < BOARD_SIDE; ++r, out += BOARD_SIDE) {
        const std::uint32_t bits = row_bits(b, r);
        const std::uint64_t lo = SPREAD[bits & 0xff], mid = SPREAD[(bits >> 8) & 0xff];
        const std::uint64_t hi = SPREAD[(bits >> 16) & 0x0f];
        std::memcpy(out, &lo, 8);
        std::memcpy(out + 8, &mid, 8);
        std::memcpy(out + 16, &hi, 4);
    }
}

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
