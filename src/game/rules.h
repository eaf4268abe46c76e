// The placement rules, the step and the end-of-game search.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "game/game.h"

namespace tavrin {

// The start cells of agents 0 to 3: (0, 0), (0, 19), (19, 19), (19, 0).
inline constexpr std::array<Bitboard, AGENT_COUNT> START_CELLS = {
    Bitboard::cell(position(0, 0)), Bitboard::cell(position(0, BOARD_SIDE - 1)),
    Bitboard::cell(position(BOARD_SIDE - 1, BOARD_SIDE - 1)), Bitboard::cell(position(BOARD_SIDE - 1, 0))};

struct PlacementMasks {
    Bitboard blocked;  // every occupied cell and every cell edge-adjacent to an own cell
    Bitboard corners;  // free cells diagonal to an own cell (or the free start cell before the first piece)
};

// The masks of one agent whose cells are `own`, among `occupied` cells, with start cell `start`.
// Shared by the game (in the game frame) and observations (in the observer frame).
constexpr PlacementMasks masks_for(const Bitboard& own, const Bitboard& occupied, const Bitboard& start) noexcept {
    PlacementMasks m;
    m.blocked = occupied | orthogonal_grow(own);
    m.corners = own.any_cell() ? diagonal_grow(own).and_not(m.blocked) : start.and_not(m.blocked);
    return m;
}

PlacementMasks placement_masks(const Game& game, std::size_t agent);

// The only error of `step`; every rejection carries the same text.
struct InvalidAction {
    std::string_view message = "Action index not available";
};

// Applies the action of the agent to move (a grid index in its own frame), or passes a done agent.
// On failure the game is unchanged.
[[nodiscard]] std::optional<InvalidAction> step(Game& game, std::optional<std::size_t> action);

// Marks done every agent that is not yet done and has no legal placement left.
void update_done(Game& game);

// Visits the legal placements of an agent with masks (blocked, corners) and remaining kinds
// `pieces`: by corner position, then kind index, then covering order. Each corner position joins
// `blocked` once its lists are walked, so a placement covering several corners is visited once.
// `visit(action)` returns true to stop the search; the result says whether it was stopped.
template <class Visit>
bool search_moves(const ActionSet& set, const Bitboard& blocked, const Bitboard& corners, std::uint32_t pieces,
                  Visit&& visit) {
    PaddedBoard b(blocked);
    for (unsigned i = 0; i < Bitboard::WORDS; ++i) {
        for (std::uint64_t v = corners.word(i); v != 0; v &= v - 1) {
            const unsigned p = i * 64 + static_cast<unsigned>(std::countr_zero(v));
            for (std::uint32_t kinds = pieces & ALL_PIECES; kinds != 0; kinds &= kinds - 1) {
                const unsigned k = static_cast<unsigned>(std::countr_zero(kinds));
                for (const std::uint16_t a : set.covering(p, k)) {
                    if (a >= set.windows.size()) fail_index(a, set.windows.size());
                    if (!b.intersects(set.windows[a]) && visit(a)) return true;
                }
            }
            b.add(p);
        }
    }
    return false;
}

}  // namespace tavrin
