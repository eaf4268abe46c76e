#include "game/state_bytes.h"

#include <gtest/gtest.h>

#include <vector>

#include "game/scores.h"
#include "test_util.h"

namespace tavrin {
namespace {

using test::at;
using test::put;

constexpr std::size_t block(std::size_t agent) { return 1 + 69 * agent; }

// Sets cell position p of agent i's board in a state, by the stored layout: limb 0 first, each
// limb least significant byte first.
void set_position(StateBytes& s, std::size_t agent, unsigned p) {
    s[block(agent) + 16 * (3 - p / 128) + (p % 128) / 8] |= static_cast<std::uint8_t>(1u << (p % 8));
}

void set_mask(StateBytes& s, std::size_t agent, std::uint32_t mask) {
    for (unsigned b = 0; b < 4; ++b) s[block(agent) + 64 + b] = static_cast<std::uint8_t>(mask >> (8 * b));
}

std::optional<Game> read(const StateBytes& s) { return from_bytes(s.data(), s.size()); }

StateBytes new_state() {
    StateBytes s{};
    s[0] = 1;
    for (std::size_t i = 0; i < 4; ++i) set_mask(s, i, 0x1fffff);
    return s;
}

TEST(StateBytes, NewGameIsTheFixedLayout) {
    const StateBytes s = to_bytes(new_game());
    EXPECT_EQ(s, new_state());
    EXPECT_EQ(s[65], 0xff);
    EXPECT_EQ(s[67], 0x1f);
    const auto g = read(s);
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ(*g, new_game());
}

TEST(StateBytes, StoreCellsMaskLastKindAndTurnAtTheirOffsets) {
    Game g = new_game();
    ASSERT_TRUE(test::plays(g, at({{0, 0}})));
    ASSERT_TRUE(test::plays(g, at({{0, 19}, {1, 19}})));
    ASSERT_TRUE(test::plays(g, at({{19, 19}})));
    const StateBytes s = to_bytes(g);
    StateBytes want = new_state();
    set_position(want, 0, 0);
    set_mask(want, 0, 0x1ffffe);
    want[block(0) + 68] = 1;
    set_position(want, 1, 19);
    set_position(want, 1, 40);
    set_mask(want, 1, 0x1ffffd);
    want[block(1) + 68] = 2;
    set_position(want, 2, 418);
    set_mask(want, 2, 0x1ffffe);
    want[block(2) + 68] = 1;
    want[277] = 3;
    EXPECT_EQ(s, want);
    EXPECT_EQ(s[block(0) + 48], 0x01);  // (0, 0)
    EXPECT_EQ(s[block(2) + 4], 0x04);   // (19, 19)
}

TEST(StateBytes, RoundTripRebuildsEveryDerivedField) {
    for (unsigned plies : {1u, 9u, 40u, 1000u}) {
        const Game g = test::random_game(100 + plies, plies);
        const StateBytes s = to_bytes(g);
        const auto back = read(s);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(*back, g);  // placed, colours, done flags and hash included
        EXPECT_EQ(to_bytes(*back), s);
        EXPECT_EQ(back->action_set, &ActionSet::get());
        EXPECT_EQ(scores(*back), scores(g));
    }
}

TEST(StateBytes, RejectsWrongLengthAndVersion) {
    const StateBytes s = new_state();
    std::vector<std::uint8_t> longer(s.begin(), s.end());
    longer.push_back(0);
    EXPECT_FALSE(from_bytes(longer.data(), 279).has_value());
    EXPECT_FALSE(from_bytes(s.data(), 277).has_value());
    EXPECT_FALSE(from_bytes(s.data(), 0).has_value());
    EXPECT_FALSE(from_bytes(nullptr, 0).has_value());
    EXPECT_FALSE(from_bytes(nullptr, STATE_SIZE).has_value());
    for (std::uint8_t version : {0, 2, 255}) {
        StateBytes t = s;
        t[0] = version;
        EXPECT_FALSE(read(t).has_value()) << int(version);
    }
}

TEST(StateBytes, AgentToMoveMustBeZeroToThree) {
    for (unsigned v = 0; v < 256; ++v) {
        StateBytes s = new_state();
        s[277] = static_cast<std::uint8_t>(v);
        const auto g = read(s);
        ASSERT_EQ(g.has_value(), v < 4) << v;
        if (g) {
            EXPECT_EQ(g->agent_selection, v);
        }
    }
}

TEST(StateBytes, MaskMustFitTwentyOneBits) {
    for (std::size_t agent = 0; agent < 4; ++agent) {
        for (std::uint32_t mask : {0x200000u, 0x1fffffu | 0x200000u, 0x80000000u, 0xffffffffu}) {
            StateBytes s = new_state();
            set_mask(s, agent, mask);
            EXPECT_FALSE(read(s).has_value()) << "agent " << agent << std::hex << ", mask 0x" << mask;
        }
        StateBytes s = new_state();
        set_mask(s, agent, 0);
        const auto g = read(s);
        ASSERT_TRUE(g.has_value());
        EXPECT_EQ(g->agents[agent].placed, 21u);
        EXPECT_TRUE(g->agents[agent].done);  // nothing left to place
        set_mask(s, agent, 0x0f0f0f);
        EXPECT_EQ(read(s)->agents[agent].placed, 9u);
    }
}

TEST(StateBytes, LastKindMustBeNoneOrACode) {
    std::vector<unsigned> accepted;
    for (unsigned v = 0; v < 256; ++v) {
        StateBytes s = new_state();
        s[block(3) + 68] = static_cast<std::uint8_t>(v);
        const auto g = read(s);
        if (!g) continue;
        accepted.push_back(v);
        EXPECT_EQ(g->agents[3].last_piece, v);
    }
    EXPECT_EQ(accepted, (std::vector<unsigned>{0, 1, 2, 3, 9, 10, 16, 22, 28, 34, 35, 41, 47, 53, 59, 65, 71, 77, 83,
                                               89, 95, 101}));
    for (std::size_t agent = 0; agent < 4; ++agent) {
        for (std::uint8_t v : {4, 8, 102}) {
            StateBytes s = new_state();
            s[block(agent) + 68] = v;
            EXPECT_FALSE(read(s).has_value()) << "agent " << agent << ", byte " << int(v);
        }
    }
}

TEST(StateBytes, BoardsMustHoldOnlyBoardCells) {
    for (std::size_t agent = 0; agent < 4; ++agent) {
        for (unsigned p : {20u, 41u, 398u, 419u, 420u, 447u, 448u, 511u}) {
            StateBytes s = new_state();
            set_position(s, agent, p);
            EXPECT_FALSE(read(s).has_value()) << "agent " << agent << ", position " << p;
        }
        StateBytes s = new_state();
        set_position(s, agent, 418);
        const auto g = read(s);
        ASSERT_TRUE(g.has_value()) << "agent " << agent;
        EXPECT_EQ(g->agents[agent].cells, Bitboard::cell(418));
        EXPECT_EQ(g->hash, CELL_KEYS[agent][418]);
    }
}

TEST(StateBytes, RulesOfPlayAreNotCheckedOnReading) {
    // Two agents on one cell, a last kind still held: accepted, and play goes on from there.
    StateBytes s = new_state();
    set_position(s, 0, 0);
    set_position(s, 1, 0);
    s[block(1) + 68] = 101;
    s[277] = 2;
    const auto g = read(s);
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ(g->agents[0].cells, g->agents[1].cells);
    EXPECT_EQ(g->agents[1].placed, 0u);
    EXPECT_EQ(g->hash, CELL_KEYS[0][0] ^ CELL_KEYS[1][0]);
    EXPECT_EQ(to_bytes(*g), s);
    Game h = *g;
    EXPECT_FALSE(step(h, 0).has_value());  // agent 2 starts normally
}

TEST(StateBytes, APositionWithoutMovesReadsBackOver) {
    // Agent 0 covers the whole board; the others, still holding everything, have nowhere to start.
    StateBytes s = new_state();
    for (unsigned p : VALID_CELLS.ones()) set_position(s, 0, p);
    set_mask(s, 0, 0x100000);
    s[block(0) + 68] = 1;
    s[277] = 1;
    auto g = read(s);
    ASSERT_TRUE(g.has_value());
    EXPECT_TRUE(is_over(*g));
    EXPECT_EQ(terminations(*g), (std::array<bool, 4>{true, true, true, true}));
    EXPECT_EQ(ply(*g), 20u);
    EXPECT_FALSE(step(*g, std::nullopt).has_value());

    // Everybody with every piece placed.
    StateBytes t = new_state();
    for (std::size_t i = 0; i < 4; ++i) set_mask(t, i, 0);
    EXPECT_TRUE(is_over(*read(t)));
    EXPECT_EQ(scores(*read(t)), (Scores{15, 15, 15, 15}));
}

}  // namespace
}  // namespace tavrin
