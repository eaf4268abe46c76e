#include "game/observation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "game/scores.h"
#include "game/state_bytes.h"
#include "test_util.h"

namespace tavrin {
namespace {

using test::at;
using test::moves_of;
using test::put;
using test::Rng;

// Observer o's frame worked out by coordinates: its start cell goes to (0, 0).
Bitboard in_frame(const Bitboard& b, std::size_t observer) {
    Bitboard out;
    for (unsigned r = 0; r < 20; ++r) {
        for (unsigned c = 0; c < 20; ++c) {
            if (!b.contains(position(r, c))) continue;
            switch (observer) {
                case 0: out |= Bitboard::cell(position(r, c)); break;
                case 1: out |= Bitboard::cell(position(19 - c, r)); break;
                case 2: out |= Bitboard::cell(position(19 - r, 19 - c)); break;
                default: out |= Bitboard::cell(position(c, 19 - r)); break;
            }
        }
    }
    return out;
}

// Every observer's record against the game-frame rule applied to each agent and then turned.
void expect_frames_agree(const Game& g) {
    for (std::size_t o = 0; o < AGENT_COUNT; ++o) {
        const Observation obs = observe(g, o);
        for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
            const std::size_t agent = (o + k) % AGENT_COUNT;
            const PlacementMasks m = placement_masks(g, agent);
            SCOPED_TRACE(::testing::Message() << "observer " << o << ", seat " << k);
            ASSERT_EQ(obs.occupied[k], in_frame(g.agents[agent].cells, o));
            ASSERT_EQ(obs.corners[k], in_frame(m.corners, o));
            ASSERT_EQ(obs.blocked[k], in_frame(m.blocked, o));
            ASSERT_EQ(obs.pieces[k], g.agents[agent].pieces);
            ASSERT_EQ(obs.done[k], g.agents[agent].done);
            ASSERT_TRUE((obs.corners[k] | obs.blocked[k] | obs.occupied[k]).and_not(VALID_CELLS).is_empty());
        }
    }
}

std::unique_ptr<ObservationBytes> bytes_of(const Game& g, std::size_t observer) {
    auto out = std::make_unique<ObservationBytes>();  // value-initialised: all zero
    write_observation(g, observer, *out);
    return out;
}

// The byte planes and mask expected from the record, laid out as (seat, row, column).
void expect_bytes_match_record(const Game& g, std::size_t o) {
    const auto got = bytes_of(g, o);
    const Observation obs = observe(g, o);
    auto plane = [](const std::array<Bitboard, 4>& boards) {
        std::vector<std::uint8_t> out(PLANE_SIZE);
        for (unsigned k = 0; k < 4; ++k)
            for (unsigned r = 0; r < 20; ++r)
                for (unsigned c = 0; c < 20; ++c) out[k * 400 + r * 20 + c] = boards[k].contains(position(r, c));
        return out;
    };
    auto as_vec = [](const std::uint8_t* p, std::size_t n) { return std::vector<std::uint8_t>(p, p + n); };
    EXPECT_EQ(as_vec(got->observation, PLANE_SIZE), plane(obs.occupied));
    EXPECT_EQ(as_vec(got->corners, PLANE_SIZE), plane(obs.corners));
    EXPECT_EQ(as_vec(got->blocked, PLANE_SIZE), plane(obs.blocked));
    for (unsigned k = 0; k < 4; ++k) {
        for (unsigned n = 0; n < KIND_COUNT; ++n) EXPECT_EQ(got->pieces[k * 21 + n], (obs.pieces[k] >> n) & 1u);
        EXPECT_EQ(got->done[k], obs.done[k] ? 1 : 0);
    }
    Vec<std::uint16_t> moves;
    observed_moves(g, obs, moves);
    const auto mask = g.action_set->grid_mask(moves);
    EXPECT_TRUE(std::equal(mask.begin(), mask.end(), got->action_mask)) << "observer " << o;
}

TEST(Observe, NewGameShowsEverySeatItsStartCorner) {
    const Game g = new_game();
    for (std::size_t o = 0; o < AGENT_COUNT; ++o) {
        const Observation obs = observe(g, o);
        for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
            EXPECT_TRUE(obs.occupied[k].is_empty());
            EXPECT_TRUE(obs.blocked[k].is_empty());
            EXPECT_EQ(obs.corners[k], START_CELLS[k]) << "observer " << o << ", seat " << k;
            EXPECT_EQ(obs.pieces[k], ALL_PIECES);
            EXPECT_FALSE(obs.done[k]);
        }
    }
    EXPECT_THROW((void)observe(g, 4), InternalError);
}

TEST(Observe, TurnsEachBoardIntoTheObserversFrame) {
    Game g = new_game();
    ASSERT_TRUE(test::plays(g, at({{0, 0}})));
    ASSERT_TRUE(test::plays(g, at({{0, 19}})));
    EXPECT_EQ(observe(g, 0).occupied[1], at({{0, 19}}));
    EXPECT_EQ(observe(g, 1).occupied[0], at({{0, 0}}));
    EXPECT_EQ(observe(g, 1).occupied[3], at({{19, 0}}));  // agent 0, seen by agent 1
    EXPECT_EQ(observe(g, 2).occupied[3], at({{19, 0}}));
    EXPECT_EQ(observe(g, 3).occupied[2], at({{19, 19}}));
    EXPECT_EQ(observe(g, 1).corners[0], at({{1, 1}}));
    expect_frames_agree(g);

    // An asymmetric shape shows which way each frame turns.
    Game h = new_game();
    put(h, 2, PieceType::V3, at({{10, 3}, {10, 4}, {11, 3}}));
    expect_frames_agree(h);
    EXPECT_EQ(observe(h, 2).occupied[0], at({{9, 16}, {9, 15}, {8, 16}}));
}

TEST(Observe, ATakenStartCellLeavesThatSeatNoCorners) {
    Game g = new_game();
    put(g, 0, PieceType::I1, at({{0, 19}}));
    EXPECT_TRUE(observe(g, 0).corners[1].is_empty());
    EXPECT_TRUE(observe(g, 1).corners[0].is_empty());
    EXPECT_TRUE(observe(g, 3).corners[2].is_empty());
    EXPECT_TRUE(moves_of(g, 1).empty());
    expect_frames_agree(g);
}

TEST(Observe, DoneAndEmptyHandedAgentsStillGetMasks) {
    Game g = new_game();
    put(g, 1, PieceType::I5, at({{0, 19}, {1, 19}, {2, 19}, {3, 19}, {4, 19}}));
    g.agents[1].pieces = 0;
    g.agents[1].done = true;
    put(g, 3, PieceType::I1, at({{5, 0}}));  // column 0 meets column 19 of the row above
    const Observation obs = observe(g, 0);
    EXPECT_EQ(obs.corners[1], at({{5, 18}}));
    EXPECT_EQ(obs.corners[3], at({{4, 1}, {6, 1}}));
    expect_frames_agree(g);
}

TEST(Observe, PiecesAndDoneFollowTheSeatOrder) {
    Game g = new_game();
    for (std::size_t a = 0; a < AGENT_COUNT; ++a) g.agents[a].pieces = ALL_PIECES ^ (0x11u << a);
    g.agents[0].done = true;
    g.agents[3].done = true;
    const Observation obs = observe(g, 2);
    EXPECT_EQ(obs.pieces, (std::array<std::uint32_t, 4>{ALL_PIECES ^ 0x44u, ALL_PIECES ^ 0x88u,
                                                        ALL_PIECES ^ 0x11u, ALL_PIECES ^ 0x22u}));
    EXPECT_EQ(obs.done, (std::array<bool, 4>{false, true, true, false}));
    const auto bytes = bytes_of(g, 1);
    EXPECT_EQ((std::vector<std::uint8_t>(bytes->done, bytes->done + 4)), (std::vector<std::uint8_t>{0, 0, 1, 1}));
    EXPECT_EQ(bytes->pieces[1 * 21 + 6], 0);  // seat 1 is agent 2, which has placed kinds 2 and 6
    EXPECT_EQ(bytes->pieces[1 * 21 + 7], 1);
}

TEST(ObservedMoves, NewGameListsThePlacementsOnTheStartCornerByKind) {
    const Game g = new_game();
    const ActionSet& set = *g.action_set;
    std::vector<std::uint16_t> expected;
    for (unsigned k = 0; k < KIND_COUNT; ++k) {
        const auto l = set.covering(0, k);
        expected.insert(expected.end(), l.begin(), l.end());
    }
    ASSERT_EQ(expected.size(), 58u);
    for (std::size_t o = 0; o < AGENT_COUNT; ++o) {
        const auto moves = moves_of(g, o);
        EXPECT_EQ(std::vector<std::uint16_t>(moves.begin(), moves.end()), expected) << "observer " << o;
    }
    // Reused output keeps nothing from before.
    Vec<std::uint16_t> out = {1, 2, 3};
    observed_moves(g, observe(g, 0), out);
    EXPECT_EQ(out.size(), 58u);
}

TEST(WriteObservation, NewGameBytes) {
    const Game g = new_game();
    const auto first = bytes_of(g, 0);
    std::vector<std::size_t> corner_bytes, mask_bytes;
    for (std::size_t i = 0; i < PLANE_SIZE; ++i) {
        EXPECT_EQ(first->observation[i], 0);
        EXPECT_EQ(first->blocked[i], 0);
        if (first->corners[i]) corner_bytes.push_back(i);
    }
    EXPECT_EQ(corner_bytes, (std::vector<std::size_t>{0, 419, 1199, 1580}));
    EXPECT_TRUE(std::all_of(first->pieces, first->pieces + PIECES_SIZE, [](std::uint8_t b) { return b == 1; }));
    EXPECT_TRUE(std::all_of(first->done, first->done + 4, [](std::uint8_t b) { return b == 0; }));
    for (std::size_t i = 0; i < GRID_SIZE; ++i) {
        if (first->action_mask[i]) mask_bytes.push_back(i);
    }
    ASSERT_EQ(mask_bytes.size(), 58u);
    for (std::size_t gi : mask_bytes) EXPECT_EQ(gi % 400, 0u);
    EXPECT_EQ(std::count(mask_bytes.begin(), mask_bytes.end(), 5 * 400), 0);   // V3 .#/## misses (0, 0)
    EXPECT_EQ(std::count(mask_bytes.begin(), mask_bytes.end(), 36 * 400), 0);  // so does X
    EXPECT_EQ(std::count(mask_bytes.begin(), mask_bytes.end(), 3 * 400), 1);
    for (std::size_t o = 1; o < AGENT_COUNT; ++o) {
        const auto other = bytes_of(g, o);
        EXPECT_EQ(std::memcmp(other.get(), first.get(), sizeof(ObservationBytes)), 0) << "observer " << o;
    }
}

TEST(WriteObservation, MatchesTheRecordMidGameAndAtTheEnd) {
    for (unsigned plies : {7u, 30u, 61u, 1000u}) {
        const Game g = test::random_game(plies, plies);
        for (std::size_t o = 0; o < AGENT_COUNT; ++o) expect_bytes_match_record(g, o);
        if (is_over(g)) {
            for (std::size_t o = 0; o < AGENT_COUNT; ++o) {
                const auto b = bytes_of(g, o);
                EXPECT_TRUE(std::none_of(b->action_mask, b->action_mask + GRID_SIZE,
                                         [](std::uint8_t x) { return x != 0; }));
            }
        }
    }
}

// Checks what must hold in every position reached by play.
void expect_invariants(const Game& g, std::array<bool, 4>& was_done) {
    std::uint64_t hash = 0;
    for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
        const Agent& agent = g.agents[a];
        SCOPED_TRACE(::testing::Message() << "agent " << a);
        ASSERT_EQ(agent.pieces & ~ALL_PIECES, 0u);
        ASSERT_EQ(agent.placed + std::popcount(agent.pieces), 21);
        ASSERT_EQ(agent.last_piece == 0, agent.placed == 0);
        if (agent.placed > 0) {
            ASSERT_TRUE(agent.last_kind().has_value());
            ASSERT_EQ(agent.pieces >> agent.last_kind()->index() & 1u, 0u);
        }
        unsigned held = 0;
        for (unsigned n = 0; n < KIND_COUNT; ++n)
            if (agent.pieces >> n & 1u) held += PieceType::from_index(n).cells();
        ASSERT_EQ(agent.cells.count(), 89 - held);
        ASSERT_TRUE(agent.cells.and_not(VALID_CELLS).is_empty());
        for (std::size_t f = 0; f < AGENT_COUNT; ++f) ASSERT_EQ(agent.seen_by(f), in_frame(agent.cells, f));
        ASSERT_EQ(static_cast<std::size_t>(agent.color), a);
        for (std::size_t b = a + 1; b < AGENT_COUNT; ++b) ASSERT_FALSE(agent.cells.intersects(g.agents[b].cells));
        if (was_done[a]) {
            ASSERT_TRUE(agent.done) << "done reverted";
        }
        was_done[a] = agent.done;
        // The done flag is exactly "no legal placement left".
        ASSERT_EQ(agent.done, moves_of(g, a).empty());
        hash ^= cells_key(a, agent.cells);
    }
    ASSERT_EQ(g.hash, hash);
    const StateBytes bytes = to_bytes(g);
    const auto back = from_bytes(bytes.data(), bytes.size());
    ASSERT_TRUE(back.has_value());
    ASSERT_EQ(*back, g);
}

TEST(SelfPlay, RandomGamesKeepEveryInvariant) {
    constexpr int GAMES = 300;
    constexpr int EXHAUSTIVE = 2;  // games in which every grid index is tried at every ply
    constexpr int ALL_LISTED = 50;  // games in which every listed move is stepped; a sample later
    std::size_t total_plies = 0;
    for (int game_no = 0; game_no < GAMES; ++game_no) {
        SCOPED_TRACE(::testing::Message() << "game " << game_no);
        Rng rng(0x5eed0000u + static_cast<std::uint64_t>(game_no));
        Game g = new_game();
        const ActionSet& set = *g.action_set;
        std::array<bool, 4> was_done{};
        std::vector<std::uint8_t> listed(GRID_SIZE);
        for (int turn = 0; !is_over(g); ++turn) {
            ASSERT_LT(turn, 400);
            const std::size_t a = g.agent_selection;
            const auto moves = moves_of(g, a);
            std::fill(listed.begin(), listed.end(), 0);
            for (std::uint16_t m : moves) {
                const std::uint32_t gi = set.actions[m].grid_index;
                ASSERT_EQ(listed[gi], 0) << "action " << m << " listed twice";
                listed[gi] = 1;
                if (game_no >= ALL_LISTED && rng.below(moves.size()) >= 12) continue;
                Game copy = g;
                ASSERT_FALSE(step(copy, gi).has_value()) << "listed action " << m << " refused";
                ASSERT_EQ(ply(copy), ply(g) + 1);
            }
            if (!g.agents[a].done) {
                const bool all = game_no < EXHAUSTIVE;
                for (std::size_t i = 0; i < (all ? GRID_SIZE + 8 : 48); ++i) {
                    const std::size_t gi = all ? i : rng.below(GRID_SIZE + 64);
                    if (gi < GRID_SIZE && listed[gi]) continue;
                    Game copy = g;
                    ASSERT_TRUE(step(copy, gi).has_value()) << "unlisted grid index " << gi << " accepted";
                    ASSERT_EQ(copy, g);
                }
            }
            if (turn % 16 == 5) expect_frames_agree(g);
            std::optional<std::size_t> action;
            if (!moves.empty()) action = set.actions[moves[rng.below(moves.size())]].grid_index;
            ASSERT_FALSE(step(g, action).has_value());
            ASSERT_EQ(g.agent_selection, (a + 1) % 4);
            ASSERT_NO_FATAL_FAILURE(expect_invariants(g, was_done));
        }
        total_plies += ply(g);
        // Over: nobody can move, and any step is a pass.
        const Game end = g;
        ASSERT_FALSE(step(g, std::nullopt).has_value());
        ASSERT_FALSE(step(g, 0).has_value());
        EXPECT_EQ(g.agent_selection, (end.agent_selection + 2) % 4);
        EXPECT_TRUE(outcome(g, RewardMode::Rank).has_value());
    }
    EXPECT_GT(total_plies, GAMES * 40u);  // the games really were played out
}

}  // namespace
}  // namespace tavrin
