#include "game/observation.h"

namespace tavrin {
namespace {

// The observer's frame puts its own start cell at (0, 0): agent 1 turns counter-clockwise,
// agent 2 a half turn, agent 3 clockwise.
Bitboard to_frame(const Bitboard& b, std::size_t observer) {
    switch (observer) {
        case 0:
            return b;
        case 1:
            return b.permute(ROTATE_CCW);
        case 2:
            return b.permute(ROTATE_CW).permute(ROTATE_CW);
        default:
            return b.permute(ROTATE_CW);
    }
}

void write_plane(const std::array<Bitboard, AGENT_COUNT>& boards, std::uint8_t* out) {
    for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
        std::uint8_t* seat = out + k * BOARD_SIDE * BOARD_SIDE;
        // p = row × 21 + column becomes row × 20 + column: the spare column has no byte.
        boards[k].for_each_one([&](unsigned p) {
            if (p >= POSITION_COUNT) fail_index(p, POSITION_COUNT);
            seat[p - p / ROW_STRIDE] = 1;
        });
    }
}

}  // namespace

Observation observe(const Game& game, std::size_t observer) {
    if (observer >= AGENT_COUNT) fail_index(observer, AGENT_COUNT);
    Observation obs;
    Bitboard occ;
    for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
        const Agent& agent = game.agents[(observer + k) % AGENT_COUNT];
        obs.occupied[k] = to_frame(agent.cells, observer);
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
    out.clear();
    search_moves(*game.action_set, obs.blocked[0], obs.corners[0], obs.pieces[0], [&](std::uint16_t a) {
        out.push_back(a);
        return false;
    });
}

void write_observation(const Game& game, std::size_t observer, ObservationBytes& out) {
    const Observation obs = observe(game, observer);
    write_plane(obs.occupied, out.observation);
    write_plane(obs.corners, out.corners);
    write_plane(obs.blocked, out.blocked);
    for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
        for (unsigned n = 0; n < KIND_COUNT; ++n) out.pieces[k * KIND_COUNT + n] = (obs.pieces[k] >> n) & 1u;
        out.done[k] = obs.done[k] ? 1 : 0;
    }
    const ActionSet& set = *game.action_set;
    search_moves(set, obs.blocked[0], obs.corners[0], obs.pieces[0], [&](std::uint16_t a) {
        set.mark(out.action_mask, a);
        return false;
    });
}

}  // namespace tavrin
