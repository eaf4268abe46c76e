// The numbered catalogue of every placement, with the grid, the per-agent turn tables and the
// covering lists that let the game loop resolve and search actions without searching.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "game/bitboard/bitboard.h"
#include "game/pieces/pieces.h"

namespace tavrin {

inline constexpr std::size_t ANCHOR_COUNT = BOARD_SIDE * BOARD_SIDE;          // 400
inline constexpr std::size_t GRID_SIZE = ORIENTATION_COUNT * ANCHOR_COUNT;    // 36400
inline constexpr std::size_t ACTION_COUNT = 30433;
inline constexpr std::size_t COVERING_LIST_COUNT = POSITION_COUNT * KIND_COUNT;  // 8820
inline constexpr std::size_t COVERING_ENTRY_COUNT = 137444;

// One placement: the cells of one orientation at one anchor.
struct Action {
    Bitboard cells;
    std::uint32_t grid_index = 0;  // orientation number × 400 + row × 20 + column
    PieceType kind = PieceType::I1;
};

// An action's cells as three consecutive 64-bit words starting at logical word `word`: every
// placement spans at most 5 rows (89 positions), so three words always hold it. The legal-move
// searches test these 32 bytes instead of the 64-byte board, which halves the memory they touch.
struct CellWindow {
    std::array<std::uint64_t, 3> bits{};
    std::uint32_t word = 0;
    std::uint32_t grid_index = 0;  // the action's grid index, beside the cells the search just read
};
static_assert(sizeof(CellWindow) == 32);

// A board as logical words with two zero words after the last, so a window at any word reads in
// bounds.
struct PaddedBoard {
    std::array<std::uint64_t, Bitboard::WORDS + 2> words{};

    explicit PaddedBoard(const Bitboard& b) noexcept {
        for (unsigned i = 0; i < Bitboard::WORDS; ++i) words[i] = b.word(i);
    }
    void add(unsigned p) noexcept { words[p / 64] |= std::uint64_t{1} << (p % 64); }
    bool intersects(const CellWindow& w) const noexcept {
        return ((words[w.word] & w.bits[0]) | (words[w.word + 1] & w.bits[1]) | (words[w.word + 2] & w.bits[2])) != 0;
    }
};

class ActionSet {
 public:
    // The process-wide set, built by the first caller; concurrent first callers wait for that build.
    static const ActionSet& get();

    // Builds every table from the catalogue, in orientation-number order.
    explicit ActionSet(const std::vector<Piece>& pieces);

    ActionSet(const ActionSet&) = delete;
    ActionSet& operator=(const ActionSet&) = delete;

    // The actions of kind index n that occupy position p, increasing.
    std::span<const std::uint16_t> covering(std::size_t p, std::size_t n) const {
        // A kind index of 21 or more would silently read the next position's lists.
        if (n >= KIND_COUNT) fail_index(n, KIND_COUNT);
        const std::size_t i = p * KIND_COUNT + n;
        if (i + 1 >= covering_offsets.size()) fail_index(i + 1, covering_offsets.size());
        const std::uint32_t begin = covering_offsets[i], end = covering_offsets[i + 1];
        if (begin > end || end > covering_actions.size()) fail_index(end, covering_actions.size());
        return {covering_actions.data() + begin, covering_actions.data() + end};
    }

    // Marks the grid index of action a in a mask of GRID_SIZE bytes.
    void mark(std::uint8_t* mask, std::size_t a) const {
        if (a >= windows.size()) fail_index(a, windows.size());
        const std::uint32_t g = windows[a].grid_index;
        if (g >= grid.size()) fail_index(g, grid.size());
        mask[g] = 1;
    }

    // GRID_SIZE bytes, 1 at the grid index of every listed action.
    Vec<std::uint8_t> grid_mask(std::span<const std::uint16_t> moves) const;

    Vec<Action> actions;                          // by action number
    Vec<std::optional<std::uint32_t>> grid;      // grid index -> action number
    std::array<Vec<std::uint16_t>, 4> per_agent;  // agent k's frame -> game frame
    Vec<std::uint16_t> covering_actions;          // the covering lists, concatenated
    Vec<std::uint32_t> covering_offsets;          // where list p × 21 + n starts; 8821 entries
    Vec<CellWindow> windows;                      // by action number: the cells in compact form
};

}  // namespace tavrin
