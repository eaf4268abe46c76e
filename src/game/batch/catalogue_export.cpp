#include "game/batch/catalogue_export.h"

namespace tavrin::batch {
namespace {

constexpr std::size_t PLANE = BOARD_SIDE * BOARD_SIDE;

// The action number placed at grid index g, which must hold one.
std::size_t action_at(const ActionSet& set, std::size_t g) {
    if (g >= set.grid.size() || !set.grid[g]) fail_index(g, set.grid.size());
    return *set.grid[g];
}

// The board cell r × 20 + c of position p.
std::uint16_t cell_of(unsigned p) {
    if (p >= POSITION_COUNT || p % ROW_STRIDE >= BOARD_SIDE) fail_index(p, POSITION_COUNT);
    return static_cast<std::uint16_t>(p / ROW_STRIDE * BOARD_SIDE + p % ROW_STRIDE);
}

}  // namespace

std::vector<OrientationInfo> orientation_table(const ActionSet& set) {
    std::vector<OrientationInfo> table(ORIENTATION_COUNT);
    for (std::size_t o = 0; o < ORIENTATION_COUNT; ++o) {
        OrientationInfo& info = table[o];
        // Every orientation fits at anchor (0, 0); its cells there are its shape.
        const Action& at_origin = set.actions[action_at(set, o * ANCHOR_COUNT)];
        info.kind = at_origin.kind.index();
        at_origin.cells.for_each_one([&](unsigned p) { info.cells.emplace_back(p / ROW_STRIDE, p % ROW_STRIDE); });
        while (info.anchor_rows < BOARD_SIDE && set.grid[o * ANCHOR_COUNT + info.anchor_rows * BOARD_SIDE])
            ++info.anchor_rows;
        while (info.anchor_columns < BOARD_SIDE && set.grid[o * ANCHOR_COUNT + info.anchor_columns])
            ++info.anchor_columns;
    }
    return table;
}

FrameTable frame_to_board(const ActionSet& set) {
    FrameTable table{};
    // Orientation 0 is the one-cell piece: its placement at frame cell f, turned into the game
    // frame by the agent's turn table, covers the board cell that f shows.
    for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
        for (std::size_t f = 0; f < PLANE; ++f) {
            const std::size_t r = action_at(set, f);
            if (r >= set.per_agent[a].size()) fail_index(r, set.per_agent[a].size());
            const Action& placed = set.actions[set.per_agent[a][r]];
            if (placed.cells.count() != 1) fail("orientation 0 is not a single cell");
            placed.cells.for_each_one([&](unsigned p) { table[a][f] = cell_of(p); });
        }
    }
    return table;
}

DecodedState decode_state(const Game& game) {
    DecodedState out;
    out.owners.fill(-1);
    for (std::size_t a = AGENT_COUNT; a-- > 0;) {  // lower agents overwrite higher ones
        const Agent& agent = game.agents[a];
        agent.cells.for_each_one([&](unsigned p) { out.owners[cell_of(p)] = static_cast<std::int8_t>(a); });
        for (std::size_t n = 0; n < KIND_COUNT; ++n)
            out.pieces[a * KIND_COUNT + n] = static_cast<std::uint8_t>((agent.pieces >> n) & 1u);
        out.done[a] = agent.done ? 1 : 0;
    }
    return out;
}

}  // namespace tavrin::batch
