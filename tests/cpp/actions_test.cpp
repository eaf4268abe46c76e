#include "game/actions/actions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <latch>
#include <numeric>
#include <thread>
#include <vector>

#include "test_util.h"

namespace tavrin {
namespace {

using test::at;
using test::of_positions;

std::vector<std::uint16_t> list(std::span<const std::uint16_t> s) { return {s.begin(), s.end()}; }

// First in this file so that it meets the set unbuilt: concurrent first callers share one build.
TEST(ActionSetGet, ConcurrentFirstCallersGetTheSameSet) {
    std::latch start(2);
    const ActionSet* seen[2] = {nullptr, nullptr};
    auto call = [&](int i) {
        start.arrive_and_wait();
        seen[i] = &ActionSet::get();
    };
    std::thread a(call, 0), b(call, 1);
    a.join();
    b.join();
    ASSERT_NE(seen[0], nullptr);
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(seen[0], &ActionSet::get());
}

const ActionSet& set() { return ActionSet::get(); }

TEST(Actions, AreEveryPlacementNumberedByOrientationThenAnchor) {
    const auto pieces = generate();
    ASSERT_EQ(set().actions.size(), ACTION_COUNT);
    std::size_t n = 0;
    for (std::size_t o = 0; o < pieces.size(); ++o) {
        for (const auto& [anchor, cells] : pieces[o].build_translations()) {
            ASSERT_LT(n, set().actions.size());
            const Action& a = set().actions[n];
            ASSERT_EQ(a.grid_index, o * ANCHOR_COUNT + anchor) << "action " << n;
            ASSERT_EQ(a.cells, cells) << "action " << n;
            ASSERT_EQ(a.kind, pieces[o].kind) << "action " << n;
            ++n;
        }
    }
    EXPECT_EQ(n, ACTION_COUNT);

    EXPECT_EQ(set().actions[0].cells, Bitboard::cell(0));
    EXPECT_EQ(set().actions[0].grid_index, 0u);
    EXPECT_EQ(set().actions[0].kind, PieceType::I1);
    const Action& last = set().actions[30432];
    EXPECT_EQ(last.kind, PieceType::I5);
    EXPECT_EQ(last.grid_index, 36319u);
    EXPECT_EQ(last.cells, of_positions({334, 355, 376, 397, 418}));
}

TEST(Grid, MapsEveryGridIndexToItsActionOrNothing) {
    const auto& grid = set().grid;
    ASSERT_EQ(grid.size(), GRID_SIZE);
    std::size_t present = 0, previous = 0;
    for (std::size_t g = 0; g < grid.size(); ++g) {
        if (!grid[g]) continue;
        ASSERT_LT(*grid[g], ACTION_COUNT);
        ASSERT_EQ(set().actions[*grid[g]].grid_index, g);
        if (present > 0) {
            ASSERT_GT(*grid[g], previous);
        }
        previous = *grid[g];
        ++present;
    }
    EXPECT_EQ(present, ACTION_COUNT);

    EXPECT_EQ(grid[19], 19u);
    EXPECT_EQ(grid[20], 20u);
    EXPECT_EQ(grid[418], 418u);
    EXPECT_FALSE(grid[419].has_value());  // the horizontal domino sticks out at (0, 19)
    EXPECT_EQ(grid[420], 419u);
    // Where each orientation's numbers start.
    EXPECT_EQ(grid[1 * 400], 400u);
    EXPECT_EQ(grid[2 * 400], 780u);
    EXPECT_EQ(grid[3 * 400], 1160u);
    EXPECT_EQ(grid[89 * 400], 29793u);
    EXPECT_EQ(grid[90 * 400], 30113u);
    EXPECT_EQ(grid[5389], 4872u);
}

TEST(PerAgent, TurnsEachActionAQuarterTurnPerAgent) {
    const auto& pa = set().per_agent;
    for (std::size_t k = 0; k < 4; ++k) {
        ASSERT_EQ(pa[k].size(), ACTION_COUNT);
        std::vector<std::uint16_t> sorted(pa[k].begin(), pa[k].end());
        std::sort(sorted.begin(), sorted.end());
        std::vector<std::uint16_t> identity(ACTION_COUNT);
        std::iota(identity.begin(), identity.end(), std::uint16_t{0});
        EXPECT_EQ(sorted, identity) << "per_agent[" << k << "] is not a permutation";
        if (k == 0) {
            EXPECT_EQ(std::vector<std::uint16_t>(pa[0].begin(), pa[0].end()), identity);
        }
    }
    std::vector<std::size_t> fixed;
    for (std::size_t a = 0; a < ACTION_COUNT; ++a) {
        const Action& act = set().actions[a];
        ASSERT_EQ(set().actions[pa[1][a]].cells, act.cells.permute(ROTATE_CW)) << "action " << a;
        ASSERT_EQ(pa[2][a], pa[1][pa[1][a]]);
        ASSERT_EQ(pa[3][a], pa[1][pa[2][a]]);
        ASSERT_EQ(pa[1][pa[3][a]], a);
        for (std::size_t k = 1; k < 4; ++k) ASSERT_EQ(set().actions[pa[k][a]].kind, act.kind);
        if (pa[1][a] == a) fixed.push_back(a);
    }
    // Only the square in the middle of the board is its own quarter turn.
    EXPECT_EQ(fixed, std::vector<std::size_t>{4872});
    EXPECT_EQ(set().actions[4872].cells, at({{9, 9}, {9, 10}, {10, 9}, {10, 10}}));

    EXPECT_EQ((std::array<std::uint16_t, 4>{pa[0][0], pa[1][0], pa[2][0], pa[3][0]}),
              (std::array<std::uint16_t, 4>{0, 19, 399, 380}));
    EXPECT_EQ((std::array<std::uint16_t, 4>{pa[0][400], pa[1][400], pa[2][400], pa[3][400]}),
              (std::array<std::uint16_t, 4>{400, 799, 779, 1140}));
    EXPECT_EQ(set().actions[799].cells, at({{0, 19}, {1, 19}}));
}

TEST(Covering, ListsEachActionUnderEachOfItsCellsAndKind) {
    const auto& offsets = set().covering_offsets;
    ASSERT_EQ(offsets.size(), COVERING_LIST_COUNT + 1);
    EXPECT_EQ(offsets[0], 0u);
    EXPECT_EQ(offsets[1], 1u);
    EXPECT_EQ(offsets[2], 3u);
    EXPECT_EQ(offsets[COVERING_LIST_COUNT], COVERING_ENTRY_COUNT);
    EXPECT_EQ(set().covering_actions.size(), COVERING_ENTRY_COUNT);

    std::size_t listed = 0;
    for (std::size_t p = 0; p < POSITION_COUNT; ++p) {
        for (std::size_t n = 0; n < KIND_COUNT; ++n) {
            const auto l = set().covering(p, n);
            ASSERT_TRUE(std::is_sorted(l.begin(), l.end()));
            ASSERT_TRUE(std::adjacent_find(l.begin(), l.end()) == l.end());
            for (std::uint16_t a : l) {
                ASSERT_EQ(set().actions[a].kind.index(), n);
                ASSERT_TRUE(set().actions[a].cells.contains(static_cast<unsigned>(p)));
            }
            listed += l.size();
        }
    }
    // Each list holds only its own actions; every action is listed under every one of its cells.
    std::size_t cells = 0;
    for (const Action& a : set().actions) cells += a.cells.count();
    EXPECT_EQ(listed, cells);
    EXPECT_EQ(cells, COVERING_ENTRY_COUNT);

    EXPECT_EQ(list(set().covering(0, 0)), std::vector<std::uint16_t>{0});
    EXPECT_EQ(list(set().covering(0, 1)), (std::vector<std::uint16_t>{400, 780}));
    for (std::size_t n = 0; n < KIND_COUNT; ++n) EXPECT_TRUE(set().covering(20, n).empty());
    EXPECT_EQ(list(set().covering(418, 20)), (std::vector<std::uint16_t>{30112, 30432}));
}

TEST(Covering, FaultsPastTheLastList) {
    EXPECT_TRUE(set().covering(419, 20).empty());
    EXPECT_THROW((void)set().covering(420, 0), InternalError);
    EXPECT_THROW((void)set().covering(100000, 3), InternalError);
}

TEST(GridMask, MarksTheGridIndexOfEveryListedAction) {
    const std::vector<std::uint16_t> moves = {0, 0, 400};
    const auto mask = set().grid_mask(moves);
    ASSERT_EQ(mask.size(), GRID_SIZE);
    for (std::size_t g = 0; g < GRID_SIZE; ++g) ASSERT_EQ(mask[g], (g == 0 || g == 400) ? 1 : 0) << g;

    const auto empty = set().grid_mask({});
    ASSERT_EQ(empty.size(), GRID_SIZE);
    EXPECT_TRUE(std::all_of(empty.begin(), empty.end(), [](std::uint8_t b) { return b == 0; }));

    const std::vector<std::uint16_t> last = {30432, 4872};
    const auto m = set().grid_mask(last);
    EXPECT_EQ(std::accumulate(m.begin(), m.end(), 0u), 2u);
    EXPECT_EQ(m[36319], 1);
    EXPECT_EQ(m[5389], 1);

    const std::vector<std::uint16_t> bad = {1, static_cast<std::uint16_t>(ACTION_COUNT)};
    EXPECT_THROW((void)set().grid_mask(bad), InternalError);
}

TEST(Grid, InverseLookupsAndFrames) {
    for (std::size_t a = 0; a < ACTION_COUNT; a += 97) {
        EXPECT_EQ(set().action_at(set().grid_index(a)), a);
        for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(set().per_agent[k][set().in_frame(k, a)], a);
    }
    EXPECT_EQ(set().action_at(419), std::nullopt);  // the horizontal I2 does not fit at (0, 19)
    EXPECT_EQ(set().action_at(GRID_SIZE), std::nullopt);
    EXPECT_EQ(set().in_frame(1, 19), 0);  // agent 1 names its start cell (0, 19) as (0, 0)
    EXPECT_THROW((void)set().grid_index(ACTION_COUNT), InternalError);
}

TEST(ActionSetBuild, AFreshBuildEqualsTheSharedSet) {
    const ActionSet fresh(generate());
    ASSERT_EQ(fresh.actions.size(), set().actions.size());
    for (std::size_t a = 0; a < fresh.actions.size(); ++a) {
        ASSERT_EQ(fresh.actions[a].cells, set().actions[a].cells);
        ASSERT_EQ(fresh.actions[a].grid_index, set().actions[a].grid_index);
        ASSERT_EQ(fresh.actions[a].kind, set().actions[a].kind);
    }
    EXPECT_TRUE(fresh.grid == set().grid);
    for (std::size_t k = 0; k < 4; ++k) EXPECT_TRUE(fresh.per_agent[k] == set().per_agent[k]);
    EXPECT_TRUE(fresh.covering_actions == set().covering_actions);
    EXPECT_TRUE(fresh.covering_offsets == set().covering_offsets);
    EXPECT_EQ(std::memcmp(&fresh.shapes, &set().shapes, sizeof fresh.shapes), 0);
}

}  // namespace
}  // namespace tavrin
