// The 512-bit set of board positions, its constant boards and the quarter-turn tables.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>

#include "game/bitboard/geometry.h"
#include "game/error.h"

namespace tavrin {

[[noreturn]] void fail_contains(unsigned p);
[[noreturn]] void fail_translate(unsigned dx, unsigned dy);

constexpr unsigned position(unsigned row, unsigned col) { return row * ROW_STRIDE + col; }

// GCC and Clang's 128-bit integer: the limb type. Whole-limb shifts compile to double-word shift
// instructions with no cross-word shuffling through memory.
__extension__ typedef unsigned __int128 Limb;

class Bitboard {
 public:
    static constexpr unsigned WORDS = 8;
    static constexpr unsigned LIMBS = 4;

    constexpr Bitboard() = default;

    // Exactly position p set. p of 512 or more has no limb to live in.
    static constexpr Bitboard cell(unsigned p) {
        if (p >= BIT_COUNT) fail_index(p / 128, 4);
        Bitboard b;
        b.l_[slot(p / 128)] = bit(p);
        return b;
    }

    // The board whose logical word i (positions 64 i to 64 i + 63) is words[i].
    static constexpr Bitboard from_words(const std::array<std::uint64_t, WORDS>& words) noexcept {
        Bitboard b;
        for (unsigned m = 0; m < LIMBS; ++m) b.l_[slot(m)] = (Limb{words[2 * m + 1]} << 64) | words[2 * m];
        return b;
    }

    // Sets position p (below 512) by a read-modify-write of its 64-bit word alone. A step sets a
    // few scattered cells and then reads whole limbs; writing limbs in halves, as building a board
    // from words does, makes those reads wait for the halves to reach the cache.
    void set_position(unsigned p) noexcept {
        if constexpr (std::endian::native == std::endian::little) {
            unsigned char* word = reinterpret_cast<unsigned char*>(&l_[slot(p / 128 % LIMBS)]) + (p / 64 % 2) * 8;
            std::uint64_t v;
            std::memcpy(&v, word, 8);
            v |= std::uint64_t{1} << (p % 64);
            std::memcpy(word, &v, 8);
        } else {
            l_[slot(p / 128 % LIMBS)] |= bit(p);
        }
    }

    // Logical word i into out[i], for i from 0 to 7.
    void write_words(std::uint64_t* out) const noexcept {
        if constexpr (std::endian::native == std::endian::little) {
            for (unsigned m = 0; m < LIMBS; ++m) std::memcpy(out + 2 * m, &l_[slot(m)], sizeof(Limb));
        } else {
            for (unsigned i = 0; i < WORDS; ++i) out[i] = word(i);
        }
    }

    // The board whose 64-byte image is `bytes` (limb 0 first, each limb least significant byte first).
    static Bitboard from_image(const std::uint8_t* bytes) noexcept {
        Bitboard b;
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(b.l_.data(), bytes, IMAGE_SIZE);
        } else {
            for (unsigned j = 0; j < LIMBS; ++j) {
                Limb v = 0;
                for (unsigned k = 0; k < 16; ++k) v |= Limb{bytes[j * 16 + k]} << (8 * k);
                b.l_[j] = v;
            }
        }
        return b;
    }

    void write_image(std::uint8_t* out) const noexcept {
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(out, l_.data(), IMAGE_SIZE);
        } else {
            for (unsigned j = 0; j < LIMBS; ++j)
                for (unsigned k = 0; k < 16; ++k) out[j * 16 + k] = static_cast<std::uint8_t>(l_[j] >> (8 * k));
        }
    }

    std::array<std::uint8_t, IMAGE_SIZE> image() const noexcept {
        std::array<std::uint8_t, IMAGE_SIZE> out{};
        write_image(out.data());
        return out;
    }

    constexpr bool contains(unsigned p) const {
        if (p >= POSITION_COUNT) fail_contains(p);
        return (word(p / 64) >> (p % 64)) & 1u;
    }

    constexpr bool is_empty() const noexcept {
        Limb any = 0;
        for (auto v : l_) any |= v;
        return any == 0;
    }

    // Kept boards only hold positions below 420, so this is the board emptiness test that the rules
    // use ("at least one position among 0 to 419").
    constexpr bool any_cell() const noexcept {
        const Limb below_420 = (Limb{1} << (POSITION_COUNT - 384)) - 1;
        return (limb(0) | limb(1) | limb(2) | (limb(3) & below_420)) != 0;
    }

    constexpr unsigned count() const noexcept {
        unsigned n = 0;
        for (unsigned i = 0; i < WORDS; ++i) n += static_cast<unsigned>(std::popcount(word(i)));
        return n;
    }

    // Calls f(p) for every set position p in increasing order.
    template <class F>
    constexpr void for_each_one(F&& f) const {
        for (unsigned i = 0; i < WORDS; ++i) {
            for (std::uint64_t v = word(i); v != 0; v &= v - 1)
                f(i * 64 + static_cast<unsigned>(std::countr_zero(v)));
        }
    }

    // Lazy sequence of set positions, increasing.
    constexpr class Ones ones() const noexcept;

    friend constexpr Bitboard operator&(const Bitboard& a, const Bitboard& b) noexcept {
        Bitboard r;
        for (unsigned j = 0; j < LIMBS; ++j) r.l_[j] = a.l_[j] & b.l_[j];
        return r;
    }
    friend constexpr Bitboard operator|(const Bitboard& a, const Bitboard& b) noexcept {
        Bitboard r;
        for (unsigned j = 0; j < LIMBS; ++j) r.l_[j] = a.l_[j] | b.l_[j];
        return r;
    }
    friend constexpr Bitboard operator^(const Bitboard& a, const Bitboard& b) noexcept {
        Bitboard r;
        for (unsigned j = 0; j < LIMBS; ++j) r.l_[j] = a.l_[j] ^ b.l_[j];
        return r;
    }
    constexpr Bitboard& operator&=(const Bitboard& o) noexcept { return *this = *this & o; }
    constexpr Bitboard& operator|=(const Bitboard& o) noexcept { return *this = *this | o; }
    constexpr Bitboard& operator^=(const Bitboard& o) noexcept { return *this = *this ^ o; }

    // Positions of this board that are not in o.
    constexpr Bitboard and_not(const Bitboard& o) const noexcept {
        Bitboard r;
        for (unsigned j = 0; j < LIMBS; ++j) r.l_[j] = l_[j] & ~o.l_[j];
        return r;
    }

    // Whether the two boards share a position: the legality test of every candidate placement.
    constexpr bool intersects(const Bitboard& o) const noexcept {
        Limb any = 0;
        for (unsigned j = 0; j < LIMBS; ++j) any |= l_[j] & o.l_[j];
        return any != 0;
    }

    // The 512-bit number shifted toward higher positions; bits past 511 are lost.
    friend constexpr Bitboard operator<<(const Bitboard& a, unsigned n) noexcept {
        if (n >= BIT_COUNT) return {};
        const unsigned ls = n / 128, bs = n % 128;
        Bitboard r;
        for (unsigned m = ls; m < LIMBS; ++m) {
            Limb v = a.limb(m - ls) << bs;
            if (bs != 0 && m - ls >= 1) v |= a.limb(m - ls - 1) >> (128 - bs);
            r.l_[slot(m)] = v;
        }
        return r;
    }
    // The 512-bit number shifted toward lower positions; bits below 0 are lost.
    friend constexpr Bitboard operator>>(const Bitboard& a, unsigned n) noexcept {
        if (n >= BIT_COUNT) return {};
        const unsigned ls = n / 128, bs = n % 128;
        Bitboard r;
        for (unsigned m = 0; m + ls < LIMBS; ++m) {
            Limb v = a.limb(m + ls) >> bs;
            if (bs != 0 && m + ls + 1 < LIMBS) v |= a.limb(m + ls + 1) << (128 - bs);
            r.l_[slot(m)] = v;
        }
        return r;
    }

    // The board moved dy rows down and dx columns right. Only offsets that keep a shape on the board
    // are meaningful; anything beyond the last row or column is a caller fault.
    constexpr Bitboard translate(unsigned dx, unsigned dy) const {
        if (dx > BOARD_SIDE - 1 || dy > BOARD_SIDE - 1) fail_translate(dx, dy);
        return *this << (dy * ROW_STRIDE + dx);
    }

    // Every set position p moved to table[p]; cost follows the number of set positions.
    constexpr Bitboard permute(const std::array<std::uint16_t, POSITION_COUNT>& table) const {
        // Scattered single bits go into plain 64-bit words, joined into limbs once at the end.
        std::array<std::uint64_t, WORDS> words{};
        for_each_one([&](unsigned p) {
            if (p >= POSITION_COUNT) fail_index(p, POSITION_COUNT);
            const unsigned q = table[p];
            if (q >= BIT_COUNT) fail_index(q / 128, 4);
            words[q / 64] |= std::uint64_t{1} << (q % 64);
        });
        return from_words(words);
    }

    friend constexpr bool operator==(const Bitboard&, const Bitboard&) = default;

    std::size_t hash() const noexcept {
        std::uint64_t h = 0x9e3779b97f4a7c15ull;
        for (unsigned i = 0; i < WORDS; ++i) {
            const std::uint64_t v = word(i);
            h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
            h *= 0xff51afd7ed558ccdull;
        }
        return static_cast<std::size_t>(h ^ (h >> 33));
    }

    // Positions 64 i to 64 i + 63 as one number (the logical word i).
    constexpr std::uint64_t word(unsigned i) const noexcept {
        // Two fixed shifts and a select: a variable 128-bit shift would cost far more.
        const Limb l = l_[slot(i / 2)];
        return i % 2 != 0 ? static_cast<std::uint64_t>(l >> 64) : static_cast<std::uint64_t>(l);
    }
    // Positions 128 m to 128 m + 127 as one number (the logical limb m).
    constexpr Limb limb(unsigned m) const noexcept { return l_[slot(m)]; }

 private:
    // Storage follows the 64-byte image: limb 0 (positions 384 to 511) first, so logical limb m
    // (positions 128 m to 128 m + 127) sits at index 3 - m, least significant byte first.
    static constexpr unsigned slot(unsigned m) noexcept { return LIMBS - 1 - m; }

    // Position p's bit within its limb. Built from 64-bit halves: a variable 128-bit shift costs
    // a branch or several instructions, a fixed shift by 64 is a register move.
    static constexpr Limb bit(unsigned p) noexcept {
        const std::uint64_t one = std::uint64_t{1} << (p % 64);
        const bool high = (p / 64) % 2 != 0;
        return (Limb{high ? one : 0} << 64) | Limb{high ? 0 : one};
    }

    std::array<Limb, LIMBS> l_{};
};

// The set positions of a board, increasing, produced one at a time.
class OnesIterator {
 public:
    using value_type = unsigned;
    using difference_type = std::ptrdiff_t;
    constexpr OnesIterator() = default;
    constexpr explicit OnesIterator(const Bitboard& b) {
        for (unsigned i = 0; i < Bitboard::WORDS; ++i) words_[i] = b.word(i);
        settle();
    }
    constexpr unsigned operator*() const {
        return index_ * 64 + static_cast<unsigned>(std::countr_zero(words_[index_]));
    }
    constexpr OnesIterator& operator++() {
        words_[index_] &= words_[index_] - 1;
        settle();
        return *this;
    }
    constexpr OnesIterator operator++(int) {
        auto old = *this;
        ++*this;
        return old;
    }
    constexpr bool operator==(std::default_sentinel_t) const { return index_ >= Bitboard::WORDS; }

 private:
    constexpr void settle() {
        while (index_ < Bitboard::WORDS && words_[index_] == 0) ++index_;
    }
    std::array<std::uint64_t, Bitboard::WORDS> words_{};
    unsigned index_ = 0;
};

class Ones {
 public:
    constexpr explicit Ones(const Bitboard& b) : board_(b) {}
    constexpr OnesIterator begin() const { return OnesIterator(board_); }
    constexpr std::default_sentinel_t end() const { return {}; }

 private:
    Bitboard board_;
};

constexpr Ones Bitboard::ones() const noexcept { return Ones(*this); }

static_assert(sizeof(Bitboard) == IMAGE_SIZE);
static_assert(std::is_trivially_copyable_v<Bitboard>);

// The 400 cells of the board: no spare column, nothing from 420 on.
inline constexpr Bitboard VALID_CELLS = [] {
    Bitboard b;
    for (unsigned r = 0; r < BOARD_SIDE; ++r)
        for (unsigned c = 0; c < BOARD_SIDE; ++c) b |= Bitboard::cell(position(r, c));
    return b;
}();

using PositionTable = std::array<std::uint16_t, POSITION_COUNT>;

// Quarter turn clockwise: (r, c) goes to (c, 19 - r); spare positions stay where they are.
inline constexpr PositionTable ROTATE_CW = [] {
    PositionTable t{};
    for (unsigned r = 0; r < BOARD_SIDE; ++r) {
        for (unsigned c = 0; c < BOARD_SIDE; ++c)
            t[position(r, c)] = static_cast<std::uint16_t>(position(c, BOARD_SIDE - 1 - r));
        t[position(r, BOARD_SIDE)] = static_cast<std::uint16_t>(position(r, BOARD_SIDE));
    }
    return t;
}();

// Quarter turn counter-clockwise: (r, c) goes to (19 - c, r); the inverse of ROTATE_CW.
inline constexpr PositionTable ROTATE_CCW = [] {
    PositionTable t{};
    for (unsigned r = 0; r < BOARD_SIDE; ++r) {
        for (unsigned c = 0; c < BOARD_SIDE; ++c)
            t[position(r, c)] = static_cast<std::uint16_t>(position(BOARD_SIDE - 1 - c, r));
        t[position(r, BOARD_SIDE)] = static_cast<std::uint16_t>(position(r, BOARD_SIDE));
    }
    return t;
}();

static_assert(ROTATE_CW[0] == 19 && ROTATE_CW[1] == 40 && ROTATE_CW[20] == 20);
static_assert(ROTATE_CCW[0] == 399 && ROTATE_CCW[1] == 378 && ROTATE_CCW[20] == 20);
static_assert(VALID_CELLS.count() == 400);

// b and every cell sharing an edge with a cell of b. The spare column catches ±1 wraps and the
// final AND drops them together with everything shifted past the last row.
constexpr Bitboard orthogonal_grow(const Bitboard& b) noexcept {
    return (b | (b << STEP_RIGHT) | (b >> STEP_RIGHT) | (b << STEP_DOWN) | (b >> STEP_DOWN)) & VALID_CELLS;
}

// b and every cell touching a cell of b at a corner, with the same wrap removal.
constexpr Bitboard diagonal_grow(const Bitboard& b) noexcept {
    return (b | (b << STEP_DOWN_LEFT) | (b >> STEP_DOWN_LEFT) | (b << STEP_DOWN_RIGHT) | (b >> STEP_DOWN_RIGHT)) &
           VALID_CELLS;
}

}  // namespace tavrin

template <>
struct std::hash<tavrin::Bitboard> {
    std::size_t operator()(const tavrin::Bitboard& b) const noexcept { return b.hash(); }
};
