#include "game/observation.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "game/moves.h"

namespace tavrin {
namespace {

// SPREAD[b]: byte j (in memory order) is bit j of b.
constexpr std::array<std::uint64_t, 256> SPREAD = [] {
    std::array<std::uint64_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b)
        for (unsigned j = 0; j < 8; ++j)
            if ((b >> j) & 1u) t[b] |= std::uint64_t{1} << (8 * (std::endian::native == std::endian::little ? j : 7 - j));
    return t;
}();

// Row by row, eight cells per table read and 8-byte store: a board with hundreds of cells costs
// no more than an empty one. The spare column has no byte.
void write_plane(const std::array<Bitboard, AGENT_COUNT>& boards, std::uint8_t* out) {
    for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
        std::array<std::uint64_t, Bitboard::WORDS + 1> w{};
        for (unsigned i = 0; i < Bitboard::WORDS; ++i) w[i] = boards[k].word(i);
        std::uint8_t* row = out + k * BOARD_SIDE * BOARD_SIDE;
        for (unsigned r = 0; r < BOARD_SIDE; ++r, row += BOARD_SIDE) {
            const unsigned p = r * ROW_STRIDE, s = p % 64;
            std::uint64_t v = w[p / 64] >> s;
            if (s > 64 - BOARD_SIDE) v |= w[p / 64 + 1] << (64 - s);
            const std::uint64_t lo = SPREAD[v & 0xff], mid = SPREAD[(v >> 8) & 0xff], hi = SPREAD[(v >> 16) & 0x0f];
            std::memcpy(row, &lo, 8);
            std::memcpy(row + 8, &mid, 8);
            std::memcpy(row + 16, &hi, 4);
        }
    }
}

}  // namespace

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
    write_plane(obs.occupied, out.observation);
    write_plane(obs.corners, out.corners);
    write_plane(obs.blocked, out.blocked);
    for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
        for (unsigned n = 0; n < KIND_COUNT; ++n) out.pieces[k * KIND_COUNT + n] = (obs.pieces[k] >> n) & 1u;
        out.done[k] = obs.done[k] ? 1 : 0;
    }
    mark_moves(*game.action_set, {obs.blocked[0], obs.corners[0]}, obs.pieces[0], out.action_mask);
}

}  // namespace tavrin
