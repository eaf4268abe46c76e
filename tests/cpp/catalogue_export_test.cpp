// The tables published to Python, checked against the engine's own operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "game/batch/catalogue_export.h"
#include "game/batch/vector_games.h"
#include "game/observation.h"
#include "game/rules.h"

namespace tavrin::batch {
namespace {

TEST(CatalogueExport, OrientationsFitExactlyWhereTheGridHasPlacements) {
    const ActionSet& set = ActionSet::get();
    const auto table = orientation_table(set);
    ASSERT_EQ(table.size(), ORIENTATION_COUNT);
    std::size_t placements = 0;
    for (std::size_t o = 0; o < table.size(); ++o) {
        EXPECT_EQ(table[o].cells.size(), PieceType::from_index(table[o].kind).cells());
        for (unsigned r = 0; r < BOARD_SIDE; ++r)
            for (unsigned c = 0; c < BOARD_SIDE; ++c)
                EXPECT_EQ(set.grid[o * ANCHOR_COUNT + r * BOARD_SIDE + c].has_value(),
                          r < table[o].anchor_rows && c < table[o].anchor_columns);
        placements += table[o].anchor_rows * table[o].anchor_columns;
    }
    EXPECT_EQ(placements, ACTION_COUNT);
    EXPECT_TRUE(std::is_sorted(table.begin(), table.end(), [](auto& a, auto& b) { return a.kind < b.kind; }));
}

TEST(CatalogueExport, FramesAndOwnersAgreeWithObservations) {
    const FrameTable frames = frame_to_board(ActionSet::get());
    const std::uint16_t corners[] = {0, 19, 399, 380};
    for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
        EXPECT_EQ(std::set<std::uint16_t>(frames[a].begin(), frames[a].end()).size(), frames[a].size());
        EXPECT_EQ(frames[a][0], corners[a]);
    }
    Config config;
    config.num_games = 1;
    config.observation = ObservationMode::None;
    config.mask = false;
    VectorGames v(config);
    v.reset(4);
    std::vector<std::int32_t> action(1);
    for (int ply = 0; ply < 50; ++ply) {
        v.sample_actions(Policy::Random, action);
        ASSERT_FALSE(v.step(action));
        const Game& game = v.game(0);
        const DecodedState decoded = decode_state(game);
        for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
            const Observation obs = observe(game, a);
            for (std::size_t f = 0; f < frames[a].size(); ++f) {
                const unsigned p = static_cast<unsigned>(f / BOARD_SIDE * ROW_STRIDE + f % BOARD_SIDE);
                const std::int8_t owner = decoded.owners[frames[a][f]];
                for (std::size_t k = 0; k < AGENT_COUNT; ++k)
                    ASSERT_EQ(obs.occupied[k].contains(p), owner == static_cast<std::int8_t>((a + k) % AGENT_COUNT));
            }
            for (std::size_t n = 0; n < KIND_COUNT; ++n)
                EXPECT_EQ(decoded.pieces[a * KIND_COUNT + n], (game.agents[a].pieces >> n) & 1u);
            EXPECT_EQ(decoded.done[a], game.agents[a].done ? 1 : 0);
        }
    }
}

}  // namespace
}  // namespace tavrin::batch
