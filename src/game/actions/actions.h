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
#include "game/kernels.h"
#include "game/pieces/pieces.h"

namespace tavrin {

inline constexpr std::size_t ANCHOR_COUNT = BOARD_SIDE * BOARD_SIDE;          // 400
inline constexpr std::size_t GRID_SIZE = ORIENTATION_COUNT * ANCHOR_COUNT;    // 36400
inline constexpr std::size_t ACTION_COUNT = 30433;
inline constexpr std::size_t COVERING_LIST_COUNT = POSITION_COUNT * KIND_COUNT;  // 8820
inline constexpr std::size_t COVERING_ENTRY_COUNT = 137444;
inline constexpr std::size_t AGENT_FRAMES = 4;  // one frame per agent: its start cell turned to (0, 0)

// One placement: the cells of one orientation at one anchor.
struct Action {
    Bitboard cells;
    std::uint32_t grid_index = 0;  // orientation number × 400 + row × 20 + column
    PieceType kind = PieceType::I1;
};

static_assert(kernels::ORIENTATIONS == ORIENTATION_COUNT && kernels::KINDS == KIND_COUNT &&
              kernels::WORDS == Bitboard::WORDS);

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

    // The grid index of action a, and its inverse.
    std::uint32_t grid_index(std::size_t a) const {
        if (a >= grid_indexes.size()) fail_index(a, grid_indexes.size());
        return grid_indexes[a];
    }
    std::optional<std::uint16_t> action_at(std::size_t g) const noexcept {
        if (g >= grid.size() || !grid[g]) return std::nullopt;
        return static_cast<std::uint16_t>(*grid[g]);
    }
    // Game-frame action a as agent k names it in its own frame (per_agent[k] turned back).
    std::uint16_t in_frame(std::size_t k, std::size_t a) const {
        const auto& back = per_agent[(AGENT_FRAMES - k % AGENT_FRAMES) % AGENT_FRAMES];
        if (a >= back.size()) fail_index(a, back.size());
        return back[a];
    }

    // Marks the grid index of action a in a mask of GRID_SIZE bytes.
    void mark(std::uint8_t* mask, std::size_t a) const {
        const std::uint32_t g = grid_index(a);
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
    Vec<std::uint16_t> grid_indexes;              // by action number: `grid_index` in 60 KB, not 2.4 MB
    kernels::ShapeTable shapes{};                 // the orientations as the move generator reads them
};

}  // namespace tavrin
