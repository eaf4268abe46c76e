#include "game/rules.h"

#include <gtest/gtest.h>

#include <limits>

#include "test_util.h"

namespace tavrin {
namespace {

using test::at;
using test::grid_index_for;
using test::plays;
using test::put;
using test::Rng;

// The masks worked out cell by cell from (row, column) coordinates, independently of the shifts.
PlacementMasks reference_masks(const Bitboard& own, const Bitboard& occupied, const Bitboard& start) {
    auto has = [](const Bitboard& b, int r, int c) {
        return r >= 0 && r < 20 && c >= 0 && c < 20 && b.contains(position(r, c));
    };
    PlacementMasks m;
    for (int r = 0; r < 20; ++r) {
        for (int c = 0; c < 20; ++c) {
            const bool edge = has(own, r - 1, c) || has(own, r + 1, c) || has(own, r, c - 1) || has(own, r, c + 1);
            const bool diag = has(own, r - 1, c - 1) || has(own, r - 1, c + 1) || has(own, r + 1, c - 1) ||
                              has(own, r + 1, c + 1);
            const Bitboard cell = Bitboard::cell(position(r, c));
            if (has(occupied, r, c) || edge) m.blocked |= cell;
            else if (diag) m.corners |= cell;
        }
    }
    if (!own.any_cell()) m.corners = start.and_not(occupied);
    return m;
}

Bitboard occupied_cells(const Game& g) {
    Bitboard occ;
    for (const Agent& a : g.agents) occ |= a.cells;
    return occ;
}

// Whether the agent to move may place action n (game frame) by the rule itself.
bool legal_by_rule(const Game& g, std::size_t n) {
    const std::size_t a = g.agent_selection;
    const Action& act = g.action_set->actions[n];
    const auto m = reference_masks(g.agents[a].cells, occupied_cells(g), START_CELLS[a]);
    return (g.agents[a].pieces >> act.kind.index() & 1) && !act.cells.intersects(m.blocked) &&
           act.cells.intersects(m.corners);
}

// Expects `step` to refuse the action and leave every field of the game as it was.
void expect_refused(Game& g, std::optional<std::size_t> action) {
    const Game before = g;
    const auto err = step(g, action);
    ASSERT_TRUE(err.has_value()) << "accepted " << (action ? std::to_string(*action) : "nothing");
    EXPECT_EQ(err->message, "Action index not available");
    EXPECT_EQ(g, before);
}

void expect_refused_cells(Game& g, const Bitboard& cells) {
    SCOPED_TRACE(::testing::PrintToString(test::positions_of(cells)));
    expect_refused(g, grid_index_for(*g.action_set, g.agent_selection, cells));
}

TEST(PlacementMasks, NewGameOffersEachAgentItsStartCell) {
    EXPECT_EQ(START_CELLS[0], Bitboard::cell(0));
    EXPECT_EQ(START_CELLS[1], Bitboard::cell(19));
    EXPECT_EQ(START_CELLS[2], Bitboard::cell(418));
    EXPECT_EQ(START_CELLS[3], Bitboard::cell(399));
    const Game g = new_game();
    for (std::size_t i = 0; i < AGENT_COUNT; ++i) {
        const auto m = placement_masks(g, i);
        EXPECT_TRUE(m.blocked.is_empty());
        EXPECT_EQ(m.corners, START_CELLS[i]);
    }
    EXPECT_THROW((void)placement_masks(g, 4), InternalError);
}

TEST(PlacementMasks, MatchTheCellByCellRuleForEverySingleCell) {
    // One own cell anywhere, including the board edges where a shift could wrap into the next row.
    for (unsigned r = 0; r < 20; ++r) {
        for (unsigned c = 0; c < 20; ++c) {
            Game g = new_game();
            put(g, 0, PieceType::I1, at({{r, c}}));
            const auto m = placement_masks(g, 0);
            const auto want = reference_masks(g.agents[0].cells, g.agents[0].cells, START_CELLS[0]);
            ASSERT_EQ(m.blocked, want.blocked) << "(" << r << ", " << c << ")";
            ASSERT_EQ(m.corners, want.corners) << "(" << r << ", " << c << ")";
        }
    }
    Game g = new_game();
    put(g, 0, PieceType::I1, at({{5, 19}}));
    EXPECT_EQ(placement_masks(g, 0).corners, at({{4, 18}, {6, 18}}));
    EXPECT_EQ(placement_masks(g, 0).blocked, at({{5, 19}, {4, 19}, {6, 19}, {5, 18}}));
}

TEST(PlacementMasks, MatchTheCellByCellRuleInRandomPositions) {
    Rng rng(21);
    for (int i = 0; i < 60; ++i) {
        Game g = new_game();
        for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
            if (rng.below(4) == 0) continue;  // some agents have not started
            Bitboard cells;
            for (int k = 0; k < 25; ++k) cells |= Bitboard::cell(position(rng.below(20), rng.below(20)));
            g.agents[a].cells = cells;
        }
        for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
            const auto m = placement_masks(g, a);
            const auto want = reference_masks(g.agents[a].cells, occupied_cells(g), START_CELLS[a]);
            ASSERT_EQ(m.blocked, want.blocked) << "position " << i << ", agent " << a;
            ASSERT_EQ(m.corners, want.corners) << "position " << i << ", agent " << a;
        }
    }
}

TEST(Step, AcceptsExactlyTheLegalPlacementsOfTheAgentToMove) {
    // Every grid index of the agent to move, in positions reached by play.
    for (std::uint64_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        const Game g = test::random_game(seed, static_cast<unsigned>(seed * 9));
        const std::size_t a = g.agent_selection;
        if (g.agents[a].done) continue;
        const ActionSet& set = *g.action_set;
        std::size_t accepted = 0;
        for (std::size_t gi = 0; gi < GRID_SIZE; ++gi) {
            Game copy = g;
            const bool ok = !step(copy, gi).has_value();
            const bool fits = set.grid[gi].has_value();
            const bool legal = fits && legal_by_rule(g, set.per_agent[a][*set.grid[gi]]);
            ASSERT_EQ(ok, legal) << "seed " << seed << ", grid index " << gi;
            if (!ok) {
                ASSERT_EQ(copy, g);
                continue;
            }
            ++accepted;
            const Action& placed = set.actions[set.per_agent[a][*set.grid[gi]]];
            ASSERT_EQ(copy.agents[a].cells, g.agents[a].cells | placed.cells);
            ASSERT_EQ(copy.agents[a].last_piece, placed.kind.code());
            ASSERT_EQ(copy.agent_selection, (a + 1) % 4);
        }
        EXPECT_GT(accepted, 0u) << "seed " << seed;
    }
}

TEST(Step, FirstPieceMustCoverTheAgentsOwnStartCell) {
    Game g = new_game();
    expect_refused_cells(g, at({{0, 1}}));
    expect_refused_cells(g, at({{0, 1}, {0, 2}}));
    expect_refused_cells(g, at({{0, 19}}));  // another agent's start cell
    ASSERT_TRUE(plays(g, at({{0, 0}, {0, 1}})));
    // Each agent's grid index 0 is the single cell on its own start corner.
    for (std::size_t a = 1; a < AGENT_COUNT; ++a) ASSERT_FALSE(step(g, 0).has_value()) << "agent " << a;
    EXPECT_EQ(g.agents[1].cells, at({{0, 19}}));
    EXPECT_EQ(g.agents[2].cells, at({{19, 19}}));
    EXPECT_EQ(g.agents[3].cells, at({{19, 0}}));
}

TEST(Step, RefusesAKindAlreadyPlaced) {
    Game g = new_game();
    ASSERT_TRUE(plays(g, at({{0, 0}})));
    for (unsigned a = 1; a < 4; ++a) ASSERT_FALSE(step(g, 0).has_value());
    expect_refused_cells(g, at({{1, 1}}));  // fits, but the single cell is gone
    ASSERT_TRUE(plays(g, at({{1, 1}, {1, 2}})));
}

TEST(Step, RefusesEdgeContactWithOwnPiecesOnly) {
    Game g = new_game();
    ASSERT_TRUE(plays(g, at({{0, 0}, {0, 1}})));
    for (unsigned a = 1; a < 4; ++a) ASSERT_FALSE(step(g, 0).has_value());
    // Each touches (0, 1) at a corner but also an own cell along an edge.
    expect_refused_cells(g, at({{1, 0}}));
    expect_refused_cells(g, at({{1, 1}, {1, 2}, {2, 1}}));
    ASSERT_TRUE(plays(g, at({{1, 2}})));

    Game h = new_game();
    put(h, 0, PieceType::I2, at({{5, 5}, {5, 6}}));
    put(h, 1, PieceType::I1, at({{4, 8}}));
    h.agent_selection = 1;
    expect_refused_cells(h, at({{5, 6}, {5, 7}}));  // overlaps agent 0's domino
    expect_refused_cells(h, at({{3, 7}, {4, 7}, {5, 7}}));  // shares an edge with its own (4, 8)
    expect_refused_cells(h, at({{6, 7}, {7, 7}}));  // no corner contact
    // Along agent 0's domino, at a corner of its own cell: fine.
    ASSERT_TRUE(plays(h, at({{5, 7}, {6, 7}})));
}

TEST(Step, CornerContactDoesNotWrapAcrossTheBoardEdge) {
    Game g = new_game();
    put(g, 0, PieceType::I1, at({{5, 19}}));
    for (unsigned r = 2; r < 9; ++r) expect_refused_cells(g, at({{r, 0}, {r + 1, 0}}));
    ASSERT_TRUE(plays(g, at({{6, 17}, {6, 18}})));

    Game h = new_game();
    put(h, 0, PieceType::I1, at({{5, 0}}));
    for (unsigned r = 2; r < 9; ++r) expect_refused_cells(h, at({{r, 19}, {r + 1, 19}}));
    ASSERT_TRUE(plays(h, at({{6, 1}, {7, 1}})));
}

TEST(Step, RefusesMissingOutOfRangeAndUnplaceableIndexes) {
    Game g = new_game();
    expect_refused(g, std::nullopt);
    expect_refused(g, GRID_SIZE);
    expect_refused(g, std::size_t{1} << 31);
    expect_refused(g, std::numeric_limits<std::uint32_t>::max());
    expect_refused(g, std::numeric_limits<std::size_t>::max());
    expect_refused(g, 419);  // the horizontal domino does not fit at (0, 19)
    expect_refused(g, 36399);
    EXPECT_EQ(g.agent_selection, 0u);
}

TEST(Step, ADoneAgentPassesWhateverItIsGiven) {
    Game g = new_game();
    g.agents[0].done = true;
    const Game before = g;
    for (std::optional<std::size_t> action : {std::optional<std::size_t>{}, std::optional<std::size_t>{0},
                                              std::optional<std::size_t>{GRID_SIZE},
                                              std::optional<std::size_t>{std::numeric_limits<std::size_t>::max()}}) {
        g = before;
        ASSERT_FALSE(step(g, action).has_value());
        EXPECT_EQ(g.agent_selection, 1u);
        g.agent_selection = 0;
        EXPECT_EQ(g, before);
    }
}

TEST(Step, PlacingTheLastPieceEndsThatAgentAtOnce) {
    Game g = new_game();
    put(g, 0, PieceType::O, at({{0, 0}, {0, 1}, {1, 0}, {1, 1}}));
    g.agents[0].pieces = 1u << PieceType::I1.index();
    g.agents[0].placed = 20;
    ASSERT_TRUE(plays(g, at({{2, 2}})));
    EXPECT_TRUE(g.agents[0].done);
    EXPECT_EQ(g.agents[0].pieces, 0u);
    EXPECT_EQ(g.agents[0].placed, 21u);
    EXPECT_EQ(g.agents[0].last_kind(), PieceType::I1);
    EXPECT_FALSE(g.agents[1].done);
}

TEST(Step, APlacementCanEndAnotherAgentAtOnce) {
    // Taking an unstarted agent's start cell leaves it nothing to attach to.
    Game g = new_game();
    put(g, 0, PieceType::I2, at({{1, 17}, {1, 18}}));
    ASSERT_TRUE(plays(g, at({{0, 19}})));
    EXPECT_EQ(terminations(g), (std::array<bool, 4>{false, true, false, false}));
    ASSERT_EQ(g.agent_selection, 1u);
    ASSERT_FALSE(step(g, std::nullopt).has_value());
    EXPECT_EQ(g.agent_selection, 2u);
    EXPECT_EQ(ply(g), 2u);

    // Covering a started agent's only corner cell.
    Game h = new_game();
    put(h, 3, PieceType::I1, at({{19, 0}}));
    h.agents[3].pieces = 1u << PieceType::I2.index();  // only the domino left
    h.agents[3].placed = 20;
    put(h, 0, PieceType::I1, at({{17, 2}}));
    ASSERT_EQ(placement_masks(h, 3).corners, at({{18, 1}}));
    ASSERT_TRUE(plays(h, at({{18, 0}, {18, 1}})));
    EXPECT_TRUE(h.agents[3].done);
    EXPECT_FALSE(h.agents[0].done);
}

TEST(UpdateDone, MarksAgentsWithoutMovesAndNeverClearsAFlag) {
    Game g = new_game();
    g.agents[2].pieces = 0;
    put(g, 0, PieceType::I1, at({{19, 0}}));  // agent 3's start cell
    g.agents[1].done = true;                   // has moves, but a set flag stays
    update_done(g);
    EXPECT_EQ(terminations(g), (std::array<bool, 4>{false, true, true, true}));
    EXPECT_FALSE(is_over(g));
}

}  // namespace
}  // namespace tavrin
