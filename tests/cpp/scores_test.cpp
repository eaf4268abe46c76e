#include "game/scores.h"

#include <gtest/gtest.h>

#include <map>
#include <utility>

#include "game/rules.h"
#include "test_util.h"

namespace tavrin {
namespace {

using test::at;
using test::put;

// Rank value by (agents strictly better, agents tied including itself), to the last bit.
const std::map<std::pair<unsigned, unsigned>, float> RANK = {
    {{0, 1}, 1.0f},        {{0, 2}, 0.8333334f}, {{0, 3}, 0.6666667f},  {{0, 4}, 0.5f},
    {{1, 1}, 0.6666667f},  {{1, 2}, 0.5f},       {{1, 3}, 0.33333334f}, {{2, 1}, 0.33333334f},
    {{2, 2}, 0.16666667f}, {{3, 1}, 0.0f},
};
const float WIN_SHARE[5] = {0.0f, 1.0f, 0.5f, 0.33333334f, 0.25f};

TEST(Outcome, RankAndWinShareDependOnlyOnPlacesAndTies) {
    // Every pattern of four scores drawn from four values covers every (better, ties) pair.
    for (int code = 0; code < 256; ++code) {
        const Scores s = {static_cast<std::int16_t>(code & 3), static_cast<std::int16_t>(code >> 2 & 3),
                          static_cast<std::int16_t>(code >> 4 & 3), static_cast<std::int16_t>(-(code >> 6))};
        const Outcome rank = outcome_from_scores(s, RewardMode::Rank);
        const Outcome share = outcome_from_scores(s, RewardMode::WinShare);
        const Outcome score = outcome_from_scores(s, RewardMode::Score);
        for (std::size_t i = 0; i < 4; ++i) {
            unsigned better = 0, ties = 0;
            for (std::size_t j = 0; j < 4; ++j) better += s[j] > s[i], ties += s[j] == s[i];
            EXPECT_EQ(rank[i], RANK.at({better, ties})) << "scores " << ::testing::PrintToString(s) << ", agent " << i;
            EXPECT_EQ(share[i], better == 0 ? WIN_SHARE[ties] : 0.0f);
            EXPECT_EQ(score[i], static_cast<float>(s[i]));
        }
    }
}

TEST(Outcome, WorkedExamples) {
    const Scores s = {-5, -5, -10, 20};
    EXPECT_EQ(outcome_from_scores(s, RewardMode::Score), (Outcome{-5.0f, -5.0f, -10.0f, 20.0f}));
    EXPECT_EQ(outcome_from_scores(s, RewardMode::WinShare), (Outcome{0.0f, 0.0f, 0.0f, 1.0f}));
    EXPECT_EQ(outcome_from_scores(s, RewardMode::Rank), (Outcome{0.5f, 0.5f, 0.0f, 1.0f}));

    const Scores equal = {-7, -7, -7, -7};
    EXPECT_EQ(outcome_from_scores(equal, RewardMode::WinShare), (Outcome{0.25f, 0.25f, 0.25f, 0.25f}));
    EXPECT_EQ(outcome_from_scores(equal, RewardMode::Rank), (Outcome{0.5f, 0.5f, 0.5f, 0.5f}));

    const Scores three = {15, 15, 15, -3};
    EXPECT_EQ(outcome_from_scores(three, RewardMode::WinShare), (Outcome{0.33333334f, 0.33333334f, 0.33333334f, 0.0f}));
    EXPECT_EQ(outcome_from_scores(three, RewardMode::Rank), (Outcome{0.6666667f, 0.6666667f, 0.6666667f, 0.0f}));
    // Widened to a double the single-precision third is not 1/3.
    EXPECT_EQ(static_cast<double>(outcome_from_scores(three, RewardMode::WinShare)[0]), 0.3333333432674408);

    const Scores extremes = {-32768, 32767, 0, 0};
    EXPECT_EQ(outcome_from_scores(extremes, RewardMode::Score), (Outcome{-32768.0f, 32767.0f, 0.0f, 0.0f}));
    EXPECT_EQ(outcome_from_scores(extremes, RewardMode::Rank), (Outcome{0.0f, 1.0f, 0.5f, 0.5f}));
}

TEST(RewardModes, NamesMatchExactly) {
    EXPECT_EQ(reward_mode_from_name("score"), RewardMode::Score);
    EXPECT_EQ(reward_mode_from_name("win_share"), RewardMode::WinShare);
    EXPECT_EQ(reward_mode_from_name("rank"), RewardMode::Rank);
    for (const char* bad : {"Score", "rank ", "", "win-share", "ranks"})
        EXPECT_FALSE(reward_mode_from_name(bad).has_value()) << bad;
}

TEST(AgentScore, CountsCellsStillHeldAndRewardsFinishing) {
    Agent a;
    EXPECT_EQ(agent_score(a), -89);
    a.pieces = 1u << PieceType::I5.index();
    EXPECT_EQ(agent_score(a), -5);
    a.pieces = ALL_PIECES & ~(1u << PieceType::I5.index());
    EXPECT_EQ(agent_score(a), -84);
    a.pieces = (1u << PieceType::I1.index()) | (1u << PieceType::O.index());
    EXPECT_EQ(agent_score(a), -5);

    a.pieces = 0;
    a.last_piece = PieceType::I1.code();
    EXPECT_EQ(agent_score(a), 20);
    for (unsigned k = 1; k < KIND_COUNT; ++k) {
        a.last_piece = PieceType::from_index(k).code();
        EXPECT_EQ(agent_score(a), 15) << PieceType::from_index(k);
    }
    // The I1 bonus needs every piece placed.
    a.pieces = 1u << PieceType::I2.index();
    a.last_piece = PieceType::I1.code();
    EXPECT_EQ(agent_score(a), -2);
}

TEST(Scores, RewardsAndOutcomeFollowTheDoneFlags) {
    Game g = new_game();
    EXPECT_EQ(scores(g), (Scores{-89, -89, -89, -89}));
    for (const auto& r : rewards(g)) EXPECT_FALSE(r.has_value());
    for (RewardMode m : {RewardMode::Score, RewardMode::WinShare, RewardMode::Rank})
        EXPECT_FALSE(outcome(g, m).has_value());

    // The I5 as an agent's only piece, played through the rules.
    ASSERT_TRUE(test::plays(g, at({{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}})));
    EXPECT_EQ(scores(g)[0], -84);

    g.agents[1].done = true;
    g.agents[3].done = true;
    const auto r = rewards(g);
    EXPECT_FALSE(r[0].has_value());
    EXPECT_EQ(r[1], std::optional<std::int16_t>(-89));
    EXPECT_FALSE(r[2].has_value());
    EXPECT_EQ(r[3], std::optional<std::int16_t>(-89));
    g.agents[0].done = true;
    EXPECT_FALSE(outcome(g, RewardMode::Score).has_value());
    g.agents[2].done = true;
    EXPECT_EQ(outcome(g, RewardMode::Score), (Outcome{-84.0f, -89.0f, -89.0f, -89.0f}));
    EXPECT_EQ(outcome(g, RewardMode::WinShare), (Outcome{1.0f, 0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(outcome(g, RewardMode::Rank), (Outcome{1.0f, 1.0f / 3.0f, 1.0f / 3.0f, 1.0f / 3.0f}));
}

TEST(Scores, FinishingWithTheSingleCellLastScoresTwenty) {
    Game g = new_game();
    put(g, 0, PieceType::O, at({{0, 0}, {0, 1}, {1, 0}, {1, 1}}));
    g.agents[0].pieces = (1u << PieceType::I1.index()) | (1u << PieceType::I2.index());
    g.agents[0].placed = 19;
    Game h = g;
    ASSERT_TRUE(test::plays(g, at({{2, 2}, {2, 3}})));
    EXPECT_EQ(scores(g)[0], -1);
    put(g, 0, PieceType::I1, at({{3, 4}}));
    EXPECT_EQ(scores(g)[0], 20);
    ASSERT_TRUE(test::plays(h, at({{2, 2}})));
    put(h, 0, PieceType::I2, at({{3, 3}, {3, 4}}));
    EXPECT_EQ(scores(h)[0], 15);
}

}  // namespace
}  // namespace tavrin
