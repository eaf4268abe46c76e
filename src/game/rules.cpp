#include "game/rules.h"

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
    std::array<unsigned, 5> cells{};
    std::array<Bitboard, AGENT_FRAMES> in_frame{};
    for (unsigned i = 0; i < shape.cells; ++i) {
        const unsigned p = position(dy, dx) + kernels::OFFSETS[shape.offsets[i]];
        for (std::size_t f = 0; f < AGENT_FRAMES; ++f)
            in_frame[f] |= Bitboard::cell(QUARTER_TURNS[(a + AGENT_FRAMES - f) % AGENT_FRAMES][p]);
        cells[i] = QUARTER_TURNS[a][p];
    }
    const Bitboard& placement = in_frame[0];
    const PlacementMasks masks = placement_masks(game, a);
    if (placement.intersects(masks.blocked) || !placement.intersects(masks.corners)) return InvalidAction{};

    agent.last_piece = PieceType::from_index(shape.kind).code();
    agent.pieces &= ~kind_bit;
    agent.cells |= placement;
    for (std::size_t f = 1; f < AGENT_FRAMES; ++f) agent.turned[f - 1] |= in_frame[f];
    ++agent.placed;
    for (unsigned i = 0; i < shape.cells; ++i) game.hash ^= CELL_KEYS[a][cells[i]];
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
