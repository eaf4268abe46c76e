#include "game/rules.h"

#include "game/bitboard/board_words.h"
#include "game/moves.h"

namespace tavrin {
namespace {

// QUARTER_TURNS[k][p]: position p turned k quarter turns clockwise.
constexpr std::array<PositionTable, 4> QUARTER_TURNS = [] {
    std::array<PositionTable, 4> t{};
    for (unsigned p = 0; p < POSITION_COUNT; ++p) t[0][p] = static_cast<std::uint16_t>(p);
    for (unsigned k = 1; k < 4; ++k)
        for (unsigned p = 0; p < POSITION_COUNT; ++p) t[k][p] = ROTATE_CW[t[k - 1][p]];
    return t;
}();

Bitboard occupied(const Game& game) noexcept {
    Bitboard occ;
    for (const Agent& agent : game.agents) occ |= agent.cells;
    return occ;
}

// Searches for a legal placement of agent i among `occ` occupied cells; it becomes the agent's
// witness, and without one the agent is done.
void search_done(Game& game, std::size_t i, const BoardWords& occ) {
    Agent& agent = game.agents[i];
    const auto found = find_move_of(game, i, occ);
    agent.done = !found;
    agent.witness_at = found ? static_cast<std::uint16_t>(found->anchor + 1) : 0;
    agent.witness_orientation = found ? found->orientation : 0;
}

// The done test after agent `mover` placed `placement`, whose cells and edge neighbours are
// `edges`, leaving `occ` occupied. Another agent lost exactly the placement's cells, and the mover
// those and their edge neighbours (its corners only grew), so a witness clear of them, of a kind
// still held, is still legal: only agents without one search.
void update_done_after(Game& game, std::size_t mover, const BoardWords& placement, const BoardWords& edges,
                       const BoardWords& occ) {
    for (std::size_t i = 0; i < AGENT_COUNT; ++i) {
        const Agent& agent = game.agents[i];
        if (agent.done) continue;
        const BoardWords& taken = i == mover ? edges : placement;
        if (agent.witness_at != 0) {
            const FoundMove w{agent.witness_orientation, static_cast<std::uint16_t>(agent.witness_at - 1)};
            const unsigned kind = game.action_set->shapes.shapes[w.orientation].kind;
            if ((agent.pieces >> kind & 1u) && !any_common(cells_of(*game.action_set, w), taken)) continue;
        }
        search_done(game, i, occ);
    }
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
    // The placement is built from its orientation's shape and turned cell by cell through small
    // tables, instead of read from the catalogue's megabytes of boards: the grid index names the
    // orientation and the anchor in the mover's frame, and a grid position holds a placement
    // exactly when the orientation's box fits there.
    const ActionSet& set = *game.action_set;
    if (*action >= GRID_SIZE) return InvalidAction{};
    const unsigned o = static_cast<unsigned>(*action / ANCHOR_COUNT), anchor = static_cast<unsigned>(*action % ANCHOR_COUNT);
    const unsigned dy = anchor / BOARD_SIDE, dx = anchor % BOARD_SIDE;
    const kernels::Shape& shape = set.shapes.shapes[o];
    if (dy + shape.height > BOARD_SIDE || dx + shape.width > BOARD_SIDE) return InvalidAction{};
    const std::uint32_t kind_bit = std::uint32_t{1} << shape.kind;
    if ((agent.pieces & kind_bit) == 0) return InvalidAction{};

    // Frame a turns into frame f by (a - f) mod 4 quarter turns clockwise; frame 0 is the game's.
    // Single bits are set in plain words, and the tests below run on words too.
    std::array<unsigned, 5> cells{};
    std::array<BoardWords, AGENT_FRAMES> placed{};
    for (unsigned i = 0; i < shape.cells; ++i) {
        const unsigned p = position(dy, dx) + kernels::OFFSETS[shape.offsets[i]];
        for (std::size_t f = 0; f < AGENT_FRAMES; ++f) {
            const unsigned q = QUARTER_TURNS[(a + AGENT_FRAMES - f) % AGENT_FRAMES][p];
            placed[f][q / 64] |= std::uint64_t{1} << (q % 64);
        }
        cells[i] = QUARTER_TURNS[a][p];
    }
    const BoardWords& placement = placed[0];
    // Legal when it covers no occupied cell, shares no edge with an own cell and touches one at a
    // corner (covers the start cell, before the first piece): the placement's neighbourhoods
    // tested against the agent's cells, the same sets as the masks' but with no board of masks.
    BoardWords occ = words_of(occupied(game));
    const BoardWords edges = grow<1, ROW_STRIDE>(placement);
    if (any_common(placement, occ) || any_common(agent.cells, edges)) return InvalidAction{};
    if (agent.cells.any_cell() ? !any_common(agent.cells, grow<STEP_DOWN_LEFT, STEP_DOWN_RIGHT>(placement))
                               : !any_common(START_CELLS[a], placement))
        return InvalidAction{};

    agent.last_piece = PieceType::from_index(shape.kind).code();
    agent.pieces &= ~kind_bit;
    agent.cells |= Bitboard::from_words(placement);
    for (std::size_t f = 1; f < AGENT_FRAMES; ++f) agent.turned[f - 1] |= Bitboard::from_words(placed[f]);
    ++agent.placed;
    for (unsigned i = 0; i < shape.cells; ++i) game.hash ^= CELL_KEYS[a][cells[i]];
    for (unsigned j = 0; j < Bitboard::WORDS; ++j) occ[j] |= placement[j];
    update_done_after(game, a, placement, edges, occ);
    advance_turn(game);
    return std::nullopt;
}

void update_done(Game& game) {
    const BoardWords occ = words_of(occupied(game));
    for (std::size_t i = 0; i < AGENT_COUNT; ++i)
        if (!game.agents[i].done) search_done(game, i, occ);
}

}  // namespace tavrin
