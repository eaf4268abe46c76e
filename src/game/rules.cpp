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
            const kernels::Shape& shape = game.action_set->shapes.shapes[agent.witness_orientation % kernels::ORIENTATIONS];
            // The witness's cells tested one by one: building its board first would cost more.
            std::uint64_t hit = 0;
            for (unsigned c = 0; c < shape.cells; ++c) {
                const unsigned p = (agent.witness_at - 1u + kernels::OFFSETS[shape.offsets[c]]) % BIT_COUNT;
                hit |= taken[p / 64] >> (p % 64);
            }
            if ((agent.pieces >> shape.kind & 1u) && (hit & 1u) == 0) continue;
        }
        search_done(game, i, occ);
    }
}

}  // namespace

PlacementMasks placement_masks(const Game& game, std::size_t agent) {
    if (agent >= AGENT_COUNT) fail_index(agent, AGENT_COUNT);
    return masks_for(game.agents[agent].cells, occupied(game), START_CELLS[agent]);
}

namespace {

// A legal placement of the agent to move, as the step applies it.
struct Placement {
    const kernels::Shape* shape;
    std::array<unsigned, 5> own, cells;  // each cell in the mover's frame and in the game's
    BoardWords words, edges, occupied;   // its cells, those and their edge neighbours, every agent's cells
};

// Whether `action` (a grid index) is a legal placement of the agent to move, which is not done;
// when it is, `out` holds it.
bool place(const Game& game, std::size_t action, Placement& out) {
    const std::size_t a = game.agent_selection;
    const Agent& agent = game.agents[a];
    // The placement is built from its orientation's shape and turned cell by cell through small
    // tables, instead of read from the catalogue's megabytes of boards: the grid index names the
    // orientation and the anchor in the mover's frame, and a grid position holds a placement
    // exactly when the orientation's box fits there.
    const ActionSet& set = *game.action_set;
    if (action >= GRID_SIZE) return false;
    const unsigned o = static_cast<unsigned>(action / ANCHOR_COUNT), anchor = static_cast<unsigned>(action % ANCHOR_COUNT);
    const unsigned dy = anchor / BOARD_SIDE, dx = anchor % BOARD_SIDE;
    const kernels::Shape& shape = set.shapes.shapes[o];
    if (dy + shape.height > BOARD_SIDE || dx + shape.width > BOARD_SIDE) return false;
    if ((agent.pieces >> shape.kind & 1u) == 0) return false;

    // Frame a turns into frame f by (a - f) mod 4 quarter turns clockwise; frame 0 is the game's.
    // The placement's bits are set in plain words, and the tests below run on words too.
    out.shape = &shape;
    out.words = BoardWords{};
    for (unsigned i = 0; i < shape.cells; ++i) {
        out.own[i] = position(dy, dx) + kernels::OFFSETS[shape.offsets[i]];
        out.cells[i] = QUARTER_TURNS[a][out.own[i]];
        out.words[out.cells[i] / 64] |= std::uint64_t{1} << (out.cells[i] % 64);
    }

    // Legal when it covers no occupied cell, shares no edge with an own cell and touches one at a
    // corner (covers the start cell, before the first piece): the placement's neighbourhoods
    // tested against the agent's cells, the same sets as the masks' but with no board of masks.
    const BoardWords& placement = out.words;
    out.occupied = words_of(occupied(game));
    out.edges = orthogonal_grow(placement);
    if (any_common(placement, out.occupied) || any_common(agent.cells, out.edges)) return false;
    return agent.cells.any_cell() ? any_common(agent.cells, diagonal_grow(placement))
                                  : any_common(START_CELLS[a], placement);
}

}  // namespace

bool would_step(const Game& game, std::optional<std::size_t> action) {
    const std::size_t a = game.agent_selection;
    if (a >= AGENT_COUNT) fail_index(a, AGENT_COUNT);
    if (game.agents[a].done) return true;
    Placement p;
    return action && place(game, *action, p);
}

std::optional<InvalidAction> step(Game& game, std::optional<std::size_t> action) {
    const std::size_t a = game.agent_selection;
    if (a >= AGENT_COUNT) fail_index(a, AGENT_COUNT);
    Agent& agent = game.agents[a];
    if (agent.done) {  // a finished agent passes, whatever it was given
        advance_turn(game);
        return std::nullopt;
    }
    Placement p;
    if (!action || !place(game, *action, p)) return InvalidAction{};

    const kernels::Shape& shape = *p.shape;
    agent.last_piece = PieceType::from_index(shape.kind).code();
    agent.pieces &= ~(std::uint32_t{1} << shape.kind);
    for (unsigned i = 0; i < shape.cells; ++i) {
        agent.cells.set_position(p.cells[i]);
        for (std::size_t f = 1; f < AGENT_FRAMES; ++f)
            agent.turned[f - 1].set_position(QUARTER_TURNS[(a + AGENT_FRAMES - f) % AGENT_FRAMES][p.own[i]]);
        game.hash ^= CELL_KEYS[a][p.cells[i]];
    }
    ++agent.placed;
    for (unsigned j = 0; j < Bitboard::WORDS; ++j) p.occupied[j] |= p.words[j];
    update_done_after(game, a, p.words, p.edges, p.occupied);
    advance_turn(game);
    return std::nullopt;
}

void update_done(Game& game) {
    const BoardWords occ = words_of(occupied(game));
    for (std::size_t i = 0; i < AGENT_COUNT; ++i)
        if (!game.agents[i].done) search_done(game, i, occ);
}

}  // namespace tavrin
