#include "game/observation.h"

#include <algorithm>
#include <bit>

#include "game/moves.h"
#include "game/planes.h"

namespace tavrin {

Observation observe(const Game& game, std::size_t observer) {
    if (observer >= AGENT_COUNT) fail_index(observer, AGENT_COUNT);
    Observation obs;
    Bitboard occ;
    for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
        const Agent& agent = game.agents[(observer + k) % AGENT_COUNT];
        obs.occupied[k] = agent.seen_by(observer);
        occ |= obs.occupied[k];
        obs.pieces[k] = agent.pieces;
        obs.done[k] = agent.done;
    }
    for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
        const PlacementMasks m = masks_for(obs.occupied[k], occ, START_CELLS[k]);
        obs.blocked[k] = m.blocked;
        obs.corners[k] = m.corners;
    }
    return obs;
}

void observed_moves(const Game& game, const Observation& obs, Vec<std::uint16_t>& out) {
    const ActionSet& set = *game.action_set;
    list_moves(set, {obs.blocked[0], obs.corners[0]}, obs.pieces[0], out);
    // The listing order of a corner-by-corner search: by the smallest corner cell a placement
    // covers, then by action number (kind order follows it). Keys are packed above the action.
    Vec<std::uint32_t> keyed(out.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        const Bitboard& cells = set.actions[out[i]].cells;
        unsigned p = 0;
        for (unsigned j = 0; j < Bitboard::WORDS; ++j) {
            const std::uint64_t w = cells.word(j) & obs.corners[0].word(j);
            if (w != 0) {
                p = j * 64 + static_cast<unsigned>(std::countr_zero(w));
                break;
            }
        }
        keyed[i] = (p << 16) | out[i];
    }
    std::sort(keyed.begin(), keyed.end());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint16_t>(keyed[i]);
}

void write_observation(const Game& game, std::size_t observer, ObservationBytes& out) {
    const Observation obs = observe(game, observer);
    for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
        write_plane(obs.occupied[k], out.observation + k * CELL_COUNT);
        write_plane(obs.corners[k], out.corners + k * CELL_COUNT);
        write_plane(obs.blocked[k], out.blocked + k * CELL_COUNT);
        for (unsigned n = 0; n < KIND_COUNT; ++n) out.pieces[k * KIND_COUNT + n] = (obs.pieces[k] >> n) & 1u;
        out.done[k] = obs.done[k] ? 1 : 0;
    }
    mark_moves(*game.action_set, {obs.blocked[0], obs.corners[0]}, obs.pieces[0], out.action_mask);
}

}  // namespace tavrin
