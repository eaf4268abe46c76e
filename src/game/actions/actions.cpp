#include "game/actions/actions.h"

#include <functional>
#include <limits>
#include <unordered_map>

namespace tavrin {

// The generator's offsets are the cells (dr, dc) with dr + dc <= 4, row by row.
static_assert([] {
    unsigned i = 0;
    for (unsigned dr = 0; dr <= 4; ++dr)
        for (unsigned dc = 0; dr + dc <= 4; ++dc)
            if (kernels::OFFSETS[i++] != dr * ROW_STRIDE + dc) return false;
    return i == kernels::OFFSET_COUNT;
}());

const ActionSet& ActionSet::get() {
    // A function-local static is the once-only initialisation: concurrent first callers block
    // until the single build finishes, later callers read it without any lock.
    static const ActionSet set(generate());
    return set;
}

ActionSet::ActionSet(const std::vector<Piece>& pieces) {
    // Every translation of every orientation, numbered by orientation, then anchor.
    actions.reserve(ACTION_COUNT);
    for (std::size_t o = 0; o < pieces.size(); ++o) {
        for (const auto& [anchor, cells] : pieces[o].build_translations()) {
            actions.push_back(Action{cells, static_cast<std::uint32_t>(o * ANCHOR_COUNT + anchor), pieces[o].kind});
        }
    }
    if (actions.size() > std::size_t{std::numeric_limits<std::uint16_t>::max()} + 1)
        fail("more actions than 16-bit action numbers can name");
    if (pieces.size() * ANCHOR_COUNT > std::size_t{std::numeric_limits<std::uint16_t>::max()} + 1)
        fail("more grid positions than 16-bit grid indexes can name");
    grid_indexes.reserve(actions.size());
    for (const Action& action : actions) grid_indexes.push_back(static_cast<std::uint16_t>(action.grid_index));

    grid.assign(pieces.size() * ANCHOR_COUNT, std::nullopt);
    for (std::size_t a = 0; a < actions.size(); ++a) {
        const std::uint32_t g = actions[a].grid_index;
        if (g >= grid.size()) fail_index(g, grid.size());
        grid[g] = static_cast<std::uint32_t>(a);
    }

    // turn(a): the action whose cells are a's cells turned a quarter clockwise about the centre.
    using Map = std::unordered_map<Bitboard, std::uint16_t, std::hash<Bitboard>, std::equal_to<Bitboard>,
                                   AbortingAllocator<std::pair<const Bitboard, std::uint16_t>>>;
    Map by_cells;
    by_cells.reserve(actions.size());
    for (std::size_t a = 0; a < actions.size(); ++a) by_cells[actions[a].cells] = static_cast<std::uint16_t>(a);
    Vec<std::uint16_t> turn(actions.size());
    for (std::size_t a = 0; a < actions.size(); ++a) {
        const auto it = by_cells.find(actions[a].cells.permute(ROTATE_CW));
        if (it == by_cells.end()) fail("no entry found for key");
        turn[a] = it->second;
    }

    per_agent[0].resize(actions.size());
    for (std::size_t a = 0; a < actions.size(); ++a) per_agent[0][a] = static_cast<std::uint16_t>(a);
    for (std::size_t k = 1; k < per_agent.size(); ++k) {
        per_agent[k].resize(actions.size());
        for (std::size_t i = 0; i < actions.size(); ++i) {
            const std::uint16_t prev = per_agent[k - 1][i];
            if (prev >= turn.size()) fail_index(prev, turn.size());
            per_agent[k][i] = turn[prev];
        }
    }

    // Shapes: the generator relies on every orientation filling each row and column of its box
    // (true of connected shapes), which is what keeps a placement from wrapping across the spare
    // column or off the last row; orientations of one kind must be consecutive.
    if (pieces.size() != kernels::ORIENTATIONS) fail("the move generator needs the 91 orientations");
    std::size_t first = 0;
    for (std::size_t o = 0; o < pieces.size(); ++o) {
        const Piece& piece = pieces[o];
        kernels::Shape& shape = shapes.shapes[o];
        shape.kind = static_cast<std::uint8_t>(piece.kind.index());
        shape.width = static_cast<std::uint8_t>(BOARD_SIDE - piece.max_dx);
        shape.height = static_cast<std::uint8_t>(BOARD_SIDE - piece.max_dy);
        shape.first = static_cast<std::uint16_t>(first);
        unsigned n = 0, rows = 0, cols = 0;
        piece.shape().for_each_one([&](unsigned p) {
            const unsigned dr = p / ROW_STRIDE, dc = p % ROW_STRIDE;
            if (dr + dc > 4 || n >= 5) fail("shape larger than five cells");
            rows |= 1u << dr;
            cols |= 1u << dc;
            unsigned i = 0;
            while (kernels::OFFSETS[i] != dr * ROW_STRIDE + dc) ++i;
            shape.offsets[n++] = static_cast<std::uint8_t>(i);
        });
        if (n == 0 || rows != (1u << piece.rows.size()) - 1 || cols != (1u << shape.width) - 1)
            fail("shape with an empty row or column in its box");
        shape.cells = static_cast<std::uint8_t>(n);
        for (unsigned i = n; i < 5; ++i) shape.offsets[i] = shape.offsets[0];
        for (unsigned i = 0; i < 5; ++i) shape.at[i] = static_cast<std::uint16_t>(shape.offsets[i] * kernels::BOARD_BYTES);
        if (o > 0 && shape.kind < shapes.shapes[o - 1].kind) fail("orientations of a kind out of order");
        for (unsigned k = o == 0 ? 0 : shapes.shapes[o - 1].kind + 1u; k <= shape.kind; ++k)
            shapes.kind_shapes[k] = static_cast<std::uint8_t>(o);
        first += (piece.max_dy + 1) * (piece.max_dx + 1);
    }
    for (unsigned k = shapes.shapes[kernels::ORIENTATIONS - 1].kind + 1u; k <= KIND_COUNT; ++k)
        shapes.kind_shapes[k] = static_cast<std::uint8_t>(kernels::ORIENTATIONS);

    // Covering lists: count, then place, so the lists are built directly in their final array.
    covering_offsets.assign(COVERING_LIST_COUNT + 1, 0);
    auto list_of = [](unsigned p, const Action& action) {
        const std::size_t i = std::size_t{p} * KIND_COUNT + action.kind.index();
        if (i >= COVERING_LIST_COUNT) fail_index(i, COVERING_LIST_COUNT);
        return i;
    };
    for (const Action& action : actions)
        action.cells.for_each_one([&](unsigned p) { ++covering_offsets[list_of(p, action) + 1]; });
    for (std::size_t i = 1; i < covering_offsets.size(); ++i) covering_offsets[i] += covering_offsets[i - 1];
    covering_actions.resize(covering_offsets.back());
    Vec<std::uint32_t> fill(covering_offsets.begin(), covering_offsets.end() - 1);
    for (std::size_t a = 0; a < actions.size(); ++a) {
        actions[a].cells.for_each_one(
            [&](unsigned p) { covering_actions[fill[list_of(p, actions[a])]++] = static_cast<std::uint16_t>(a); });
    }
}

Vec<std::uint8_t> ActionSet::grid_mask(std::span<const std::uint16_t> moves) const {
    Vec<std::uint8_t> mask(grid.size(), 0);
    for (const std::uint16_t a : moves) mark(mask.data(), a);
    return mask;
}

}  // namespace tavrin
