#include "game/rules.h"

#include "game/moves.h"

namespace tavrin {
namespace {

Bitboard occupied(const Game& game) noexcept {
    Bitboard occ;
    for (const Agent& agent : game.agents) occ |= agent.cells;
    return occ;
}

}  // namespace

PlacementMasks placement_masks(const Game& game, std::size_t agent) {
    if (agent >= AGENT_COUNT) fail_index(agent, AGENT_COUNT);
    return masks_for(game.agents[agent].cells, occupied(game), START_CELLS[agent]);
}

std::optional<InvalidAction> step(Game& game, std::optional<std::size_t> action) {
    const std::size_t a = game.agent_selection;
    if (a >= AGENT_COUNT) fail_index(a, AGENT_COUNT);
    Agent& agent = game.agents[a];
    if (agent.done) {  // a finished agent passes, whatever it was given
        advance_turn(game);
        return std::nullopt;
    }
    if (!action) return InvalidAction{};
    const ActionSet& set = *game.action_set;
    if (*action >= set.grid.size() || !set.grid[*action]) return InvalidAction{};
    const std::uint32_t r = *set.grid[*action];
    if (r >= set.per_agent[a].size()) fail_index(r, set.per_agent[a].size());
    const std::uint16_t n = set.per_agent[a][r];
    if (n >= set.actions.size()) fail_index(n, set.actions.size());
    const Action& placement = set.actions[n];

    const std::uint32_t kind_bit = std::uint32_t{1} << placement.kind.index();
    if ((agent.pieces & kind_bit) == 0) return InvalidAction{};
    const PlacementMasks masks = placement_masks(game, a);
    if (placement.cells.intersects(masks.blocked) || !placement.cells.intersects(masks.corners))
        return InvalidAction{};

    agent.last_piece = placement.kind.code();
    agent.pieces &= ~kind_bit;
    agent.cells |= placement.cells;
    // The same cells as every observer names them: observer f's frame is the game frame turned
    // back f quarter turns, and the catalogue holds every turned placement.
    for (std::size_t f = 1; f < AGENT_FRAMES; ++f) agent.turned[f - 1] |= set.actions[set.in_frame(f, n)].cells;
    ++agent.placed;
    game.hash ^= cells_key(a, placement.cells);
    update_done(game);
    advance_turn(game);
    return std::nullopt;
}

void update_done(Game& game) {
    const ActionSet& set = *game.action_set;
    const Bitboard occ = occupied(game);
    for (std::size_t i = 0; i < AGENT_COUNT; ++i) {
        Agent& agent = game.agents[i];
        if (agent.done) continue;
        const PlacementMasks m = masks_for(agent.cells, occ, START_CELLS[i]);
        agent.done = !has_move(set, m, agent.pieces);
    }
}

}  // namespace tavrin
