// The generator's loops over a lane of TAVRIN_LANES 64-bit words, chosen by the file that includes
// this one, inside its own anonymous namespace: one word (portable), or GCC/Clang vectors of four
// or eight words, which compile to the instruction set of that file's flags. A wide file has the
// popcount instruction; the portable one counts without it.
//
// Include only from a kernel_*.cpp file, after defining TAVRIN_LANES (1, 4 or 8); make_kernel
// then names the file's operations.
#include <cstdint>
#include <cstring>

#include "game/kernels.h"
#include "game/kernel_pack.h"

#if TAVRIN_LANES > 1
#include <immintrin.h>
#define TAVRIN_HAS_POPCNT 1
typedef std::uint64_t Lane __attribute__((vector_size(8 * TAVRIN_LANES)));
#else
using Lane = std::uint64_t;
#endif

namespace tavrin::kernels {
namespace {

struct Board {
    static constexpr unsigned N = WORDS * 8 / sizeof(Lane);
    Lane v[N];
};

// Lane by lane: one copy of the whole board compiles to narrower moves on some targets, and a
// wide load from narrow stores then stalls.
inline Board load(const std::uint64_t* p) noexcept {
    Board x;
    for (unsigned j = 0; j < Board::N; ++j) std::memcpy(&x.v[j], p + j * (sizeof(Lane) / 8), sizeof(Lane));
    return x;
}

// Bit j set when word j is not zero.
inline unsigned nonzero_words(const Board& x) noexcept {
#if TAVRIN_LANES == 8
    const __m512i v = (__m512i)x.v[0];
    return _mm512_test_epi64_mask(v, v);
#elif TAVRIN_LANES == 4
    unsigned m = 0;
    for (unsigned h = 0; h < Board::N; ++h) {
        const __m256i v = (__m256i)x.v[h];
        const __m256i zero = _mm256_cmpeq_epi64(v, _mm256_setzero_si256());
        m |= (~static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(zero))) & 15u) << (4 * h);
    }
    return m;
#else
    unsigned m = 0;
    for (unsigned j = 0; j < Board::N; ++j) m |= static_cast<unsigned>(x.v[j] != 0) << j;
    return m;
#endif
}

inline unsigned ones(std::uint64_t v) noexcept {
#ifdef TAVRIN_HAS_POPCNT
    return static_cast<unsigned>(__builtin_popcountll(v));
#else
    // No library call: the portable build has no popcount instruction to assume.
    v = v - ((v >> 1) & 0x5555555555555555ull);
    v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
    v = (v + (v >> 4)) & 0x0f0f0f0f0f0f0f0full;
    return static_cast<unsigned>((v * 0x0101010101010101ull) >> 56);
#endif
}

// The 400 board cells: 20 in each row of 21 positions.
struct Words {
    std::uint64_t v[WORDS];
};
constexpr Words VALID = [] {
    Words w{};
    for (unsigned r = 0; r < BOARD_SIDE; ++r)
        for (unsigned c = 0; c < BOARD_SIDE; ++c)
            w.v[(r * ROW_STRIDE + c) / 64] |= std::uint64_t{1} << ((r * ROW_STRIDE + c) % 64);
    return w;
}();

// The board shifts, in the words of game/bitboard: toward_higher<S> is a Bitboard's << S and
// toward_lower<S> its >> S, by one of the neighbour steps (STEP_*); orthogonal_grow and
// diagonal_grow are the grows of the same names, here over one board of words.
#if TAVRIN_LANES == 8
template <unsigned S>
inline __m512i toward_higher(__m512i x) noexcept {
    const __m512i below = _mm512_alignr_epi64(x, _mm512_setzero_si512(), 7);  // lane j - 1
    return _mm512_or_si512(_mm512_slli_epi64(x, S), _mm512_srli_epi64(below, 64 - S));
}
template <unsigned S>
inline __m512i toward_lower(__m512i x) noexcept {
    const __m512i above = _mm512_alignr_epi64(_mm512_setzero_si512(), x, 1);  // lane j + 1
    return _mm512_or_si512(_mm512_srli_epi64(x, S), _mm512_slli_epi64(above, 64 - S));
}
template <unsigned A, unsigned B>
inline __m512i grow(__m512i x, __m512i valid) noexcept {
    const __m512i a = _mm512_or_si512(toward_higher<A>(x), toward_lower<A>(x));
    const __m512i b = _mm512_or_si512(toward_higher<B>(x), toward_lower<B>(x));
    return _mm512_and_si512(valid, _mm512_or_si512(x, _mm512_or_si512(a, b)));
}
inline __m512i orthogonal_grow(__m512i x, __m512i valid) noexcept { return grow<STEP_RIGHT, STEP_DOWN>(x, valid); }
inline __m512i diagonal_grow(__m512i x, __m512i valid) noexcept {
    return grow<STEP_DOWN_LEFT, STEP_DOWN_RIGHT>(x, valid);
}

void prepare(const Cells& c, Input& in) noexcept {
    const __m512i own = _mm512_load_si512(c.own), occ = _mm512_load_si512(c.occupied);
    const __m512i valid = _mm512_loadu_si512(VALID.v);
    const __m512i blocked = _mm512_or_si512(occ, orthogonal_grow(own, valid));
    __m512i corners;
    if (_mm512_test_epi64_mask(own, own) != 0) {
        corners = diagonal_grow(own, valid);  // own cells among them, all blocked
    } else {
        alignas(64) std::uint64_t start[WORDS] = {};
        start[c.start / 64 % WORDS] = std::uint64_t{1} << (c.start % 64);
        corners = _mm512_load_si512(start);
    }
    _mm512_store_si512(in.free, _mm512_andnot_si512(blocked, valid));
    _mm512_store_si512(in.corners, _mm512_andnot_si512(blocked, corners));
    in.free[WORDS] = in.free[WORDS + 1] = in.corners[WORDS] = in.corners[WORDS + 1] = 0;
}
#else
// Word j of the shifted board.
template <unsigned S>
inline std::uint64_t toward_higher(const std::uint64_t* x, unsigned j) noexcept {
    return (x[j] << S) | (j > 0 ? x[j - 1] >> (64 - S) : 0);
}
template <unsigned S>
inline std::uint64_t toward_lower(const std::uint64_t* x, unsigned j) noexcept {
    return (x[j] >> S) | (j + 1 < WORDS ? x[j + 1] << (64 - S) : 0);
}
template <unsigned A, unsigned B>
inline std::uint64_t grow(const std::uint64_t* x, unsigned j) noexcept {
    return VALID.v[j] & (x[j] | toward_higher<A>(x, j) | toward_lower<A>(x, j) | toward_higher<B>(x, j) |
                         toward_lower<B>(x, j));
}
inline std::uint64_t orthogonal_grow(const std::uint64_t* x, unsigned j) noexcept {
    return grow<STEP_RIGHT, STEP_DOWN>(x, j);
}
inline std::uint64_t diagonal_grow(const std::uint64_t* x, unsigned j) noexcept {
    return grow<STEP_DOWN_LEFT, STEP_DOWN_RIGHT>(x, j);
}

void prepare(const Cells& c, Input& in) noexcept {
    const std::uint64_t* own = c.own;
    std::uint64_t any = 0;
    for (unsigned j = 0; j < WORDS; ++j) any |= own[j];
    for (unsigned j = 0; j < WORDS; ++j) {
        const std::uint64_t blocked = c.occupied[j] | orthogonal_grow(own, j);
        const std::uint64_t start = c.start / 64 == j ? std::uint64_t{1} << (c.start % 64) : 0;
        // The own cells among the corners are all blocked.
        const std::uint64_t corners = any != 0 ? diagonal_grow(own, j) : start;
        in.free[j] = VALID.v[j] & ~blocked;
        in.corners[j] = corners & ~blocked;
    }
    in.free[WORDS] = in.free[WORDS + 1] = in.corners[WORDS] = in.corners[WORDS + 1] = 0;
}
#endif

// The free cells and the corner cells moved toward lower positions by every offset: bit q of
// free[i] says whether position q + OFFSETS[i] is free.
struct Shifted {
    Board free[OFFSET_COUNT];
    Board corners[OFFSET_COUNT];
};

// The board moved toward lower positions by d, which is known only at run time.
inline Board toward_lower_by(const std::uint64_t* words, unsigned d) noexcept {
    const unsigned s = d / 64, b = d % 64;
    Board lo = load(words + s);
    if (b == 0) return lo;
    const Board hi = load(words + s + 1);
    for (unsigned j = 0; j < Board::N; ++j) lo.v[j] = (lo.v[j] >> b) | (hi.v[j] << (64 - b));
    return lo;
}

inline void toward_lower_by_offsets(const Input& in, Shifted& s) noexcept {
#pragma GCC unroll 15
    for (unsigned i = 0; i < OFFSET_COUNT; ++i) {
        s.free[i] = toward_lower_by(in.free, OFFSETS[i]);
        s.corners[i] = toward_lower_by(in.corners, OFFSETS[i]);
    }
}

// The legal anchors of one orientation: every cell free AND some cell on a corner. Lane by lane,
// in registers: a copy of a whole moved board as a struct compiled to 16-byte moves through the
// stack, and the lane-wide loads that followed waited on them (a store forwarding stall, a third
// of the AVX2 kernel's time).
inline Board anchors_of(const Shape& shape, const Shifted& s) noexcept {
    static_assert(sizeof(Board) == BOARD_BYTES);
    const auto* free = reinterpret_cast<const unsigned char*>(s.free);
    const auto* corners = reinterpret_cast<const unsigned char*>(s.corners);
    const auto lane = [](const unsigned char* p, unsigned j) -> Lane {
        return reinterpret_cast<const Board*>(p)->v[j];
    };
    Board out;
    for (unsigned j = 0; j < Board::N; ++j) {
        Lane f = lane(free + shape.at[0], j);
        Lane c = lane(corners + shape.at[0], j);
#pragma GCC unroll 4
        for (unsigned i = 1; i < 5; ++i) {
            f &= lane(free + shape.at[i], j);
            c |= lane(corners + shape.at[i], j);
        }
        out.v[j] = f & c;
    }
    return out;
}

std::uint32_t any(const ShapeTable& t, const Input& in, std::uint32_t pieces) noexcept {
    Shifted s;
    toward_lower_by_offsets(in, s);
    for (std::uint32_t kinds = pieces & ((1u << KINDS) - 1); kinds != 0; kinds &= kinds - 1) {
        const unsigned k = static_cast<unsigned>(__builtin_ctz(kinds));
        for (unsigned o = t.kind_shapes[k]; o < t.kind_shapes[k + 1]; ++o) {
            const Board a = anchors_of(t.shapes[o], s);
            const unsigned words = nonzero_words(a);
            if (words == 0) continue;
            std::uint64_t w[WORDS];
            std::memcpy(w, &a, sizeof w);
            const unsigned j = static_cast<unsigned>(__builtin_ctz(words));
            return 1u + o * 512u + j * 64u + static_cast<unsigned>(__builtin_ctzll(w[j]));
        }
    }
    return 0;
}


std::size_t anchors(const ShapeTable& t, const Input& in, std::uint32_t pieces, AnchorWords& out) noexcept {
    Shifted s;
    toward_lower_by_offsets(in, s);
    unsigned n = 0;
    std::size_t total = 0;

    for (std::uint32_t kinds = pieces & ((1u << KINDS) - 1); kinds != 0; kinds &= kinds - 1) {
        const unsigned k = static_cast<unsigned>(__builtin_ctz(kinds));
        // A local bound: the byte stores below may alias the table, which the compiler would
        // otherwise read again for every orientation.
        const unsigned last = t.kind_shapes[k + 1];
        for (unsigned o = t.kind_shapes[k]; o < last; ++o) {
            // Every word is stored whatever it holds and kept only by advancing n: whether a word
            // holds a legal anchor is as good as random, and a mispredicted branch costs more.
            const Board a = anchors_of(t.shapes[o], s);
#if TAVRIN_LANES == 8
            // The non-zero words and their places, packed to the front and stored whole.
            const __m512i v = (__m512i)a.v[0];
            const __mmask8 nonzero = _mm512_test_epi64_mask(v, v);
            _mm512_storeu_si512(out.bits + n, _mm512_maskz_compress_epi64(nonzero, v));
            std::memcpy(out.word + n, &PACKED_WORDS.v[nonzero], 8);
            const std::uint64_t orientation = o * 0x0101010101010101ull;
            std::memcpy(out.orientation + n, &orientation, 8);
            n += static_cast<unsigned>(__builtin_popcount(nonzero));
#elif TAVRIN_LANES == 4
            // The same on two halves: each half's non-zero words moved to the front and stored
            // whole, the second where the first's end; what lies past the count is overwritten
            // next or left in the slack.
            const __m256i lo = (__m256i)a.v[0], hi = (__m256i)a.v[1];
            const unsigned m_lo = nonzero_of_four(lo), m_hi = nonzero_of_four(hi);
            const unsigned n_lo = static_cast<unsigned>(__builtin_popcount(m_lo));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out.bits + n),
                                _mm256_permutevar8x32_epi32(lo, _mm256_load_si256(reinterpret_cast<const __m256i*>(COMPRESS4.v[m_lo]))));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out.bits + n + n_lo),
                                _mm256_permutevar8x32_epi32(hi, _mm256_load_si256(reinterpret_cast<const __m256i*>(COMPRESS4.v[m_hi]))));
            std::memcpy(out.word + n, &PACKED_WORDS.v[m_lo | m_hi << 4], 8);
            const std::uint64_t orientation = o * 0x0101010101010101ull;
            std::memcpy(out.orientation + n, &orientation, 8);
            n += n_lo + static_cast<unsigned>(__builtin_popcount(m_hi));
#else
            std::uint64_t w[WORDS];
            std::memcpy(w, &a, sizeof w);
            for (unsigned j = 0; j < WORDS; ++j) {
                out.bits[n] = w[j];
                out.orientation[n] = static_cast<std::uint8_t>(o);
                out.word[n] = static_cast<std::uint8_t>(j);
                n += w[j] != 0;
                if (w[j] != 0) total += ones(w[j]);  // no popcount instruction: most words are empty
            }
#endif
        }
    }
    out.count = n;
#if TAVRIN_LANES > 1
    // Counted from the packed words, on scalar ports the vector work above leaves idle: a word in
    // eight holds an anchor, so this is a tenth of the work of counting every board.
    for (unsigned i = 0; i < n; ++i) {
        out.before[i] = static_cast<std::uint32_t>(total);
        total += ones(out.bits[i]);
    }
#endif
    return total;
}

// Position q's row: q / 21 for every q below 512, by multiplication.
constexpr unsigned row_of(unsigned q) noexcept { return (q * 3121u) >> 16; }
static_assert(row_of(20) == 0 && row_of(21) == 1 && row_of(419) == 19 && row_of(440) == 20 && row_of(511) == 24);

void list(const ShapeTable& t, const AnchorWords& b, std::uint16_t* out) noexcept {
    // A word holds two anchors on average. The first four are written whatever the word holds,
    // and the output then advances by the true count, so a loop ends once per word only when it
    // holds more than four; the entries past the count are overwritten next or lie in the slack.
    constexpr std::uint64_t TOP = std::uint64_t{1} << 63;  // keeps the bit scan defined on an empty word
    for (unsigned i = 0; i < b.count; ++i) {
        const unsigned o = b.orientation[i], base = b.word[i] * 64u;
        const Shape& shape = t.shapes[o];
        const unsigned first = shape.first, width = shape.width;
        std::uint64_t w = b.bits[i];
        const unsigned c = ones(w);
        for (unsigned k = 0; k < LIST_SLACK + 1; ++k) {
            const unsigned q = base + static_cast<unsigned>(__builtin_ctzll(w | TOP));
            out[k] = static_cast<std::uint16_t>(first + q - row_of(q) * width);
            w &= w - 1;
        }
        for (unsigned k = LIST_SLACK + 1; k < c; ++k, w &= w - 1) {
            const unsigned q = base + static_cast<unsigned>(__builtin_ctzll(w));
            out[k] = static_cast<std::uint16_t>(first + q - row_of(q) * width);
        }
        out += c;
    }
}

void mark(const AnchorWords& b, std::uint8_t* mask) noexcept {
    for (unsigned i = 0; i < b.count; ++i) {
        std::uint8_t* grid = mask + b.orientation[i] * 400u;
        const unsigned base = b.word[i] * 64u;
        for (std::uint64_t w = b.bits[i]; w != 0; w &= w - 1) {
            const unsigned q = base + static_cast<unsigned>(__builtin_ctzll(w));
            grid[q - row_of(q)] = 1;
        }
    }
}

std::uint32_t nth(const AnchorWords& b, std::size_t rank) noexcept {
#if TAVRIN_LANES > 1
    // The last entry with at most `rank` anchors before it, by a binary search whose steps are
    // conditional moves: a random rank makes every branch a coin toss.
    const std::uint32_t* first = b.before;
    for (unsigned n = b.count; n > 1;) {
        const unsigned half = n / 2;
        first = first[half] <= rank ? first + half : first;
        n -= half;
    }
    const unsigned i = static_cast<unsigned>(first - b.before);
    rank -= first[0];
#else
    unsigned i = 0;
    for (;; ++i) {
        const unsigned c = ones(b.bits[i]);
        if (rank < c) break;
        rank -= c;
    }
#endif
    std::uint64_t w = b.bits[i];
#if TAVRIN_LANES == 8
    w = _pdep_u64(std::uint64_t{1} << rank, w);  // the set bit of that rank, alone
#else
    // A word holds two anchors on average, so clearing the lower ones takes a step or two; the
    // AVX2 kernel runs on CPUs (AMD before Zen 3) whose pdep is microcode of hundreds of cycles.
    for (; rank > 0; --rank) w &= w - 1;
#endif
    const unsigned q = b.word[i] * 64u + static_cast<unsigned>(__builtin_ctzll(w));
    return b.orientation[i] * 400u + q - row_of(q);
}

// This file's operations as a kernel.
constexpr Kernel make_kernel(const char* name, unsigned needs) noexcept {
    return Kernel{name, needs, prepare, any, anchors, list, mark, nth};
}

}  // namespace
}  // namespace tavrin::kernels
