// The 21 piece kinds and the catalogue of their 91 orientations.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string_view>
#include <utility>
#include <vector>

#include "game/bitboard/bitboard.h"

namespace tavrin {

inline constexpr unsigned KIND_COUNT = 21;
inline constexpr unsigned ORIENTATION_COUNT = 91;
inline constexpr std::uint32_t ALL_PIECES = (1u << KIND_COUNT) - 1;  // 0x1fffff

namespace detail {
inline constexpr std::array<std::uint8_t, KIND_COUNT> KIND_CODES = {
    1, 2, 3, 9, 10, 16, 22, 28, 34, 35, 41, 47, 53, 59, 65, 71, 77, 83, 89, 95, 101};
inline constexpr std::array<std::string_view, KIND_COUNT> KIND_NAMES = {
    "I1", "I2", "V3", "I3", "T4", "O", "L4", "I4", "Z4", "F", "X",
    "P",  "W",  "Z5", "Y",  "L5", "U", "T5", "V5", "N",  "I5"};
inline constexpr std::uint8_t NO_INDEX = 0xff;
// Code -> dense index; NO_INDEX for the bytes that are not codes.
inline constexpr std::array<std::uint8_t, 256> INDEX_BY_CODE = [] {
    std::array<std::uint8_t, 256> t{};
    for (auto& v : t) v = NO_INDEX;
    for (unsigned i = 0; i < KIND_COUNT; ++i) t[KIND_CODES[i]] = static_cast<std::uint8_t>(i);
    return t;
}();
}  // namespace detail

// A piece kind, stored as its one-byte code. Codes are 6 × index − 5 × cells + 6; 0 is not a code.
class PieceType {
 public:
    static const PieceType I1, I2, V3, I3, T4, O, L4, I4, Z4, F, X, P, W, Z5, Y, L5, U, T5, V5, N, I5;

    // The kind with dense index i (0 to 20).
    static constexpr PieceType from_index(unsigned i) {
        if (i >= KIND_COUNT) fail_index(i, KIND_COUNT);
        return PieceType(detail::KIND_CODES[i]);
    }
    // The kind stored as `code`, or nothing for a byte that is not a code.
    static constexpr std::optional<PieceType> from_code(std::uint8_t code) noexcept {
        if (detail::INDEX_BY_CODE[code] == detail::NO_INDEX) return std::nullopt;
        return PieceType(code);
    }

    constexpr std::uint8_t code() const noexcept { return code_; }
    // Dense index 0 to 20: the bit of the kind in an agent's remaining-pieces mask.
    constexpr unsigned index() const noexcept { return detail::INDEX_BY_CODE[code_]; }
    constexpr std::string_view name() const noexcept { return detail::KIND_NAMES[index()]; }
    constexpr unsigned cells() const noexcept { return (6 * index() + 6 - code_) / 5; }

    friend constexpr bool operator==(PieceType, PieceType) = default;
    friend constexpr auto operator<=>(PieceType a, PieceType b) { return a.code_ <=> b.code_; }
    friend std::ostream& operator<<(std::ostream& os, PieceType k) { return os << k.name(); }

 private:
    constexpr explicit PieceType(std::uint8_t code) : code_(code) {}
    std::uint8_t code_;
};

inline constexpr PieceType PieceType::I1{1}, PieceType::I2{2}, PieceType::V3{3}, PieceType::I3{9},
    PieceType::T4{10}, PieceType::O{16}, PieceType::L4{22}, PieceType::I4{28}, PieceType::Z4{34},
    PieceType::F{35}, PieceType::X{41}, PieceType::P{47}, PieceType::W{53}, PieceType::Z5{59},
    PieceType::Y{65}, PieceType::L5{71}, PieceType::U{77}, PieceType::T5{83}, PieceType::V5{89},
    PieceType::N{95}, PieceType::I5{101};

static_assert(sizeof(PieceType) == 1);
static_assert(PieceType::F.index() == 9 && PieceType::I5.index() == 20);
static_assert(PieceType::U.cells() == 5 && PieceType::O.cells() == 4 && PieceType::I1.cells() == 1);

// One row of a shape: `offset` empty cells, `len` filled ones; a `hole` inserts one empty cell at
// that column and pushes the rest of the row one column right (only U's row #.# has one).
struct RowRun {
    std::optional<std::size_t> hole;
    std::size_t offset = 0;
    std::size_t len = 0;
};

// One orientation of one kind.
struct Piece {
    PieceType kind;
    std::size_t variant = 0;
    std::vector<RowRun> rows;
    std::size_t max_dy = 0;  // largest row offset at which the orientation still fits
    std::size_t max_dx = 0;  // largest column offset at which it still fits

    // The shape with its bounding box's top-left corner at (0, 0).
    Bitboard shape() const;
    // Every placement on the board: (anchor = dy × 20 + dx, cells), dx varying fastest.
    std::vector<std::pair<std::size_t, Bitboard>> build_translations() const;

    // Catalogue order: kind code, then variant. The shape takes no part.
    friend bool operator==(const Piece& a, const Piece& b) { return a.kind == b.kind && a.variant == b.variant; }
    friend bool operator<(const Piece& a, const Piece& b) {
        return a.kind != b.kind ? a.kind < b.kind : a.variant < b.variant;
    }
};

// The 91 orientations in catalogue order (the orientation numbers).
std::vector<Piece> generate();

}  // namespace tavrin
