#include "game/game.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <type_traits>
#include <unordered_set>

#include "game/rules.h"
#include "test_util.h"

namespace tavrin {
namespace {

using test::at;
using test::plays;

TEST(NewGame, StartsEveryAgentEmptyHandedWithAllPieces) {
    const Game g = new_game();
    EXPECT_EQ(g.action_set, &ActionSet::get());
    EXPECT_EQ(g.agent_selection, 0u);
    EXPECT_EQ(g.num_agents, 4u);
    EXPECT_EQ(g.hash, 0u);
    EXPECT_EQ(ply(g), 0u);
    EXPECT_FALSE(is_over(g));
    EXPECT_EQ(terminations(g), (std::array<bool, 4>{false, false, false, false}));
    for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
        const Agent& a = g.agents[k];
        EXPECT_TRUE(a.cells.is_empty());
        EXPECT_EQ(a.pieces, 0x1fffffu);
        EXPECT_EQ(a.placed, 0u);
        EXPECT_EQ(a.last_piece, 0u);
        EXPECT_FALSE(a.last_kind().has_value());
        EXPECT_EQ(static_cast<unsigned>(a.color), k);
        EXPECT_FALSE(a.done);
    }
    // The set given is the set kept, whichever it is.
    const ActionSet other(generate());
    EXPECT_EQ(new_game(other).action_set, &other);
    static_assert(std::is_trivially_copyable_v<Game>);
}

TEST(CellKeys, AreDistinctNonZeroAndStartWithTheFixedValues) {
    EXPECT_EQ(CELL_KEYS[0][0], 0xe220a8397b1dcdafull);
    EXPECT_EQ(CELL_KEYS[0][1], 0x6e789e6aa1b965f4ull);
    EXPECT_EQ(CELL_KEYS[1][0], 0x2efc3e93492e7d12ull);
    std::unordered_set<std::uint64_t> seen;
    for (const auto& row : CELL_KEYS) {
        for (std::uint64_t key : row) {
            EXPECT_NE(key, 0u);
            seen.insert(key);
        }
    }
    EXPECT_EQ(seen.size(), 4u * 420u);
}

TEST(CellsKey, XorsTheKeysOfTheAgentsPositions) {
    EXPECT_EQ(cells_key(0, Bitboard{}), 0u);
    EXPECT_EQ(cells_key(3, Bitboard{}), 0u);
    for (std::size_t a = 0; a < AGENT_COUNT; ++a)
        for (unsigned p : {0u, 19u, 20u, 399u, 418u, 419u}) EXPECT_EQ(cells_key(a, Bitboard::cell(p)), CELL_KEYS[a][p]);
    const Bitboard b = at({{0, 0}, {0, 1}, {5, 7}});
    EXPECT_EQ(cells_key(2, b), CELL_KEYS[2][0] ^ CELL_KEYS[2][1] ^ CELL_KEYS[2][position(5, 7)]);
    EXPECT_THROW((void)cells_key(4, Bitboard::cell(0)), InternalError);
    EXPECT_THROW((void)cells_key(0, Bitboard::cell(420)), InternalError);
}

TEST(TurnOrder, PassesZeroOneTwoThreeAndCountsPlacements) {
    Game g = new_game();
    ASSERT_TRUE(plays(g, at({{0, 0}})));
    EXPECT_EQ(g.agent_selection, 1u);
    ASSERT_TRUE(plays(g, at({{0, 19}})));
    ASSERT_TRUE(plays(g, at({{19, 19}})));
    EXPECT_EQ(g.agent_selection, 3u);
    EXPECT_EQ(ply(g), 3u);
    ASSERT_TRUE(plays(g, at({{19, 0}})));
    EXPECT_EQ(g.agent_selection, 0u);
    EXPECT_EQ(ply(g), 4u);
    for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
        EXPECT_EQ(g.agents[k].placed, 1u);
        EXPECT_EQ(g.agents[k].last_kind(), PieceType::I1);
        EXPECT_EQ(g.agents[k].pieces, 0x1ffffeu);
    }
    EXPECT_EQ(g.hash, CELL_KEYS[0][0] ^ CELL_KEYS[1][19] ^ CELL_KEYS[2][418] ^ CELL_KEYS[3][399]);

    g.agent_selection = 3;
    advance_turn(g);
    EXPECT_EQ(g.agent_selection, 0u);
}

TEST(TurnOrder, ADoneAgentsPassAdvancesTheTurnOnly) {
    Game g = new_game();
    ASSERT_TRUE(plays(g, at({{0, 0}})));
    g.agents[1].done = true;
    const Game before = g;
    ASSERT_FALSE(step(g, std::nullopt).has_value());
    EXPECT_EQ(g.agent_selection, 2u);
    EXPECT_EQ(ply(g), 1u);
    g.agent_selection = 1;
    EXPECT_EQ(g, before);
}

TEST(GameCopy, IsIndependentOfItsSourceInBothDirections) {
    Game g = test::random_game(5, 12);
    const Game snapshot = g;
    Game copy = g;
    EXPECT_EQ(copy, g);
    EXPECT_EQ(copy.action_set, g.action_set);

    test::Rng rng(1);
    ASSERT_FALSE(step(copy, test::random_action(copy, rng)).has_value());
    EXPECT_EQ(g, snapshot);
    EXPECT_NE(copy, g);

    const Game copy_before = copy;
    ASSERT_FALSE(step(g, test::random_action(g, rng)).has_value());
    EXPECT_EQ(copy, copy_before);
}

}  // namespace
}  // namespace tavrin
