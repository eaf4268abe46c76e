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
// Whether step(game, action) would succeed, without changing the game.
bool would_step(const Game& game, std::optional<std::size_t> action);

// Marks done every agent that is not yet done and has no legal placement left.
void update_done(Game& game);

}  // namespace tavrin
