// The batch against single games stepped one by one, across thread counts, and on refused input.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "game/batch/vector_games.h"
#include "game/observation.h"
#include "game/rules.h"
#include "game/scores.h"
#include "game/state_bytes.h"

namespace tavrin::batch {
namespace {

Config config(std::size_t n, std::size_t threads, ObservationMode mode = ObservationMode::Full, bool mask = true,
              bool autoreset = true) {
    Config c;
    c.num_games = n;
    c.threads = threads;
    c.observation = mode;
    c.mask = mask;
    c.autoreset = autoreset;
    return c;
}

// Everything a learner can read, copied out.
std::vector<std::uint8_t> snapshot(VectorGames& v) {
    const std::size_t n = v.size();
    std::vector<std::uint8_t> out(n * STATE_SIZE);
    v.to_bytes(out);
    auto add = [&](const void* p, std::size_t bytes) {
        if (p == nullptr) return;
        const auto* b = static_cast<const std::uint8_t*>(p);
        out.insert(out.end(), b, b + bytes);
    };
    add(v.observation(), n * VectorGames::observation_channels(v.config().observation) * PLANE_CELLS);
    add(v.pieces(), n * PIECE_CHANNELS);
    add(v.done(), n * AGENT_COUNT);
    add(v.legal_action_mask(), n * GRID_SIZE);
    add(v.current_player(), n);
    add(v.rewards(), n * AGENT_COUNT * sizeof(float));
    add(v.terminated(), n);
    add(v.final_scores(), n * AGENT_COUNT * sizeof(std::int16_t));
    return out;
}

// Game i's outputs equal what the single-game engine shows for `game`.
void expect_outputs(const VectorGames& v, std::size_t i, const Game& game) {
    ASSERT_FALSE(is_over(game));
    const std::size_t p = game.agent_selection;
    ASSERT_EQ(v.current_player()[i], static_cast<std::int8_t>(p));
    ASSERT_FALSE(game.agents[p].done) << "an agent out of moves is to move";
    auto want = std::make_unique<ObservationBytes>();
    std::memset(want.get(), 0, sizeof(ObservationBytes));
    write_observation(game, p, *want);
    const std::uint8_t* obs = v.observation() + i * FULL_CHANNELS * PLANE_CELLS;
    ASSERT_EQ(std::memcmp(obs, want->observation, PLANE_SIZE), 0);
    ASSERT_EQ(std::memcmp(obs + PLANE_SIZE, want->corners, PLANE_SIZE), 0);
    ASSERT_EQ(std::memcmp(obs + 2 * PLANE_SIZE, want->blocked, PLANE_SIZE), 0);
    for (std::size_t c = 0; c < PIECE_CHANNELS + AGENT_COUNT; ++c) {
        const std::uint8_t value = c < PIECE_CHANNELS ? want->pieces[c] : want->done[c - PIECE_CHANNELS];
        for (std::size_t cell = 0; cell < PLANE_CELLS; ++cell)
            ASSERT_EQ(obs[(BOARD_CHANNELS + c) * PLANE_CELLS + cell], value) << "channel " << BOARD_CHANNELS + c;
    }
    ASSERT_EQ(std::memcmp(v.legal_action_mask() + i * GRID_SIZE, want->action_mask, GRID_SIZE), 0);
}

TEST(VectorGames, PlaysLikeSingleGamesWithAutoreset) {
    constexpr std::size_t N = 6;
    VectorGames v(config(N, 2));
    v.reset(7);
    std::vector<Game> games(N, new_game());
    std::vector<std::int32_t> actions(N);
    std::size_t ended = 0;
    for (int ply = 0; ply < 400; ++ply) {
        v.sample_actions(ply % 3 == 0 ? Policy::Greedy : Policy::Random, actions);
        ASSERT_FALSE(v.step(actions));
        for (std::size_t i = 0; i < N; ++i) {
            ASSERT_FALSE(step(games[i], static_cast<std::size_t>(actions[i])));
            while (!is_over(games[i]) && games[i].agents[games[i].agent_selection].done) (void)step(games[i], {});
            const bool over = is_over(games[i]);
            ASSERT_EQ(v.terminated()[i], over ? 1 : 0);
            if (over) {
                const Outcome want = *outcome(games[i], RewardMode::WinShare);
                const Scores s = scores(games[i]);
                for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
                    EXPECT_EQ(v.rewards()[i * AGENT_COUNT + a], want[a]);
                    EXPECT_EQ(v.final_scores()[i * AGENT_COUNT + a], s[a]);
                }
                EXPECT_EQ(v.final_game(i), games[i]);
                games[i] = new_game();
                ++ended;
            } else {
                for (std::size_t a = 0; a < AGENT_COUNT; ++a) EXPECT_EQ(v.rewards()[i * AGENT_COUNT + a], 0.0f);
                EXPECT_FALSE(v.final_game(i));
            }
            ASSERT_EQ(v.game(i), games[i]);
            expect_outputs(v, i, games[i]);
        }
    }
    EXPECT_GT(ended, N);  // every game went round at least once
}

TEST(VectorGames, GreedyPicksTheLargestSizeThatFits) {
    VectorGames v(config(8, 1, ObservationMode::None, false));
    v.reset(3);
    std::vector<std::int32_t> actions(8);
    for (int ply = 0; ply < 60; ++ply) {
        v.sample_actions(Policy::Greedy, actions);
        for (std::size_t i = 0; i < v.size(); ++i) {
            const Game& game = v.game(i);
            const ActionSet& set = *game.action_set;
            LegalBits bits;
            legal_bits(game, bits);
            unsigned largest = 0;
            for (std::size_t k = 0; k < bits.count; ++k)
                largest = std::max(largest, set.actions[*set.grid[select_legal(bits, k)]].kind.cells());
            ASSERT_EQ(set.actions[*set.grid[static_cast<std::size_t>(actions[i])]].kind.cells(), largest);
        }
        ASSERT_FALSE(v.step(actions));
    }
}

// The same games and outputs on 1, 2, 3 and 4 threads, and with one thread made late on purpose
// (as if the system parked it, so that the others take its chunks): which thread serves a game
// never shows, searches and lists included.
TEST(VectorGames, ThreadCountAndALateThreadChangeNothing) {
    constexpr std::size_t N = 37;
    struct Run {
        std::size_t threads, late_slot;
        unsigned delay_us;
    };
    std::vector<std::vector<std::uint8_t>> runs;
    for (const Run run : {Run{1, 0, 0}, Run{2, 0, 0}, Run{3, 0, 0}, Run{4, 0, 0}, Run{2, 1, 200}, Run{3, 0, 200}}) {
        ThreadPool::delay_slot_for_tests(run.late_slot, run.delay_us);
        Config c = config(N, run.threads, ObservationMode::Compact);
        c.seats = {Seat::Learner, Seat::Search, Seat::Reach, Seat::Learner};
        c.settings[1].search.playouts = 6;
        VectorGames v(c);
        v.reset(11);
        std::vector<std::int32_t> actions(N);
        std::vector<std::uint8_t> trace;
        for (int ply = 0; ply < 40; ++ply) {
            v.sample_actions(Policy::Random, actions);
            ASSERT_FALSE(v.step(actions));
            const auto s = snapshot(v);
            trace.insert(trace.end(), s.begin(), s.end());
        }
        std::vector<std::int64_t> offsets;
        std::vector<std::int32_t> legal;
        v.legal_actions(offsets, legal);
        trace.insert(trace.end(), reinterpret_cast<const std::uint8_t*>(legal.data()),
                     reinterpret_cast<const std::uint8_t*>(legal.data() + legal.size()));
        trace.insert(trace.end(), reinterpret_cast<const std::uint8_t*>(offsets.data()),
                     reinterpret_cast<const std::uint8_t*>(offsets.data() + offsets.size()));
        v.sample_actions(Policy::Random, actions);
        auto bad = actions;  // the lowest refused game is named whichever thread checked it
        bad[30] = -1;
        bad[9] = static_cast<std::int32_t>(GRID_SIZE);
        const auto error = v.step(bad);
        ThreadPool::delay_slot_for_tests(0, 0);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->game, 9u);
        runs.push_back(std::move(trace));
    }
    for (std::size_t r = 1; r < runs.size(); ++r) EXPECT_EQ(runs[0], runs[r]) << "run " << r;
}

// Games whose legal set outgrows the kept list (every game when it keeps none, most early ones
// at 40) clear their whole mask row and are searched again when sampled: masks, samples and
// legal lists stay those of the full list, and the samples those of a batch with no mask.
TEST(VectorGames, KeptLegalListSizeChangesNothing) {
    constexpr std::size_t N = 23;
    std::vector<std::vector<std::int32_t>> samples;
    std::vector<std::vector<std::uint8_t>> traces;
    for (const auto& [mask, kept] : {std::pair{true, std::size_t{1024}}, {true, std::size_t{40}}, {true, std::size_t{0}},
                                     {false, std::size_t{1024}}}) {
        Config c = config(N, 2, ObservationMode::None, mask);
        c.kept_legal = kept;
        VectorGames v(c);
        v.reset(5);
        std::vector<std::int32_t> actions(N), all;
        std::vector<std::uint8_t> trace;
        for (int ply = 0; ply < 120; ++ply) {
            v.sample_actions(ply % 3 == 0 ? Policy::Greedy : Policy::Random, actions);
            all.insert(all.end(), actions.begin(), actions.end());
            ASSERT_FALSE(v.step(actions));
            if (!mask) continue;
            const auto s = snapshot(v);
            trace.insert(trace.end(), s.begin(), s.end());
            std::vector<std::int64_t> offsets;
            std::vector<std::int32_t> legal;
            v.legal_actions(offsets, legal);
            trace.insert(trace.end(), reinterpret_cast<const std::uint8_t*>(offsets.data()),
                         reinterpret_cast<const std::uint8_t*>(offsets.data() + offsets.size()));
            trace.insert(trace.end(), reinterpret_cast<const std::uint8_t*>(legal.data()),
                         reinterpret_cast<const std::uint8_t*>(legal.data() + legal.size()));
        }
        samples.push_back(std::move(all));
        if (mask) traces.push_back(std::move(trace));
    }
    for (std::size_t r = 1; r < samples.size(); ++r) EXPECT_EQ(samples[0], samples[r]) << "run " << r;
    for (std::size_t r = 1; r < traces.size(); ++r) EXPECT_EQ(traces[0], traces[r]) << "run " << r;
}

// Without the mask, a step sampled at random draws the next sample ahead, and the sample leaves
// the streams to be moved on later. Resets (of some games), loads, greedy samples and refused
// batches between them must leave the samples those of a batch that never draws ahead (one with
// the mask).
TEST(VectorGames, SamplesDrawnAheadMatchSamplesDrawnOnDemand) {
    constexpr std::size_t N = 9;
    std::vector<std::vector<std::int32_t>> samples;
    for (bool mask : {false, true}) {
        VectorGames v(config(N, 2, ObservationMode::None, mask));
        v.reset(3);
        std::vector<std::int32_t> actions(N), all;
        std::vector<std::uint8_t> states(N * STATE_SIZE);
        const std::vector<std::uint8_t> some{1, 0, 0, 1, 1, 0, 1, 0, 0};
        const auto sample = [&](Policy policy) {
            v.sample_actions(policy, actions);
            all.insert(all.end(), actions.begin(), actions.end());
        };
        for (int ply = 0; ply < 200; ++ply) {
            sample(ply % 17 == 5 ? Policy::Greedy : Policy::Random);
            if (ply == 60 || ply == 61) v.reset(ply == 60 ? std::optional<std::uint64_t>(4) : std::nullopt, some);
            if (ply == 90) v.to_bytes(states);
            if (ply == 120) {
                ASSERT_FALSE(v.load(states));
            }
            if (ply == 60 || ply == 61 || ply == 120 || ply == 150) sample(Policy::Random);
            if (ply % 23 == 7) {
                auto bad = actions;
                bad[N - 1] = -1;
                ASSERT_TRUE(v.step(bad));
            }
            ASSERT_FALSE(v.step(actions));
        }
        samples.push_back(std::move(all));
    }
    EXPECT_EQ(samples[0], samples[1]);
}

// The sample record alone: a sample drawn ahead serves only an all-random sample after the step
// that drew it, the last sample only until a step or a change of games, and with the mask nothing
// is drawn ahead.
TEST(SampleRecord, SamplesLiveOnlyWhileTheirGamesDo) {
    SampleRecord r;
    r.allocate(2, true);
    std::vector<std::int32_t> out(2);
    EXPECT_FALSE(r.step_begins(false));  // no random sample before it
    r.step_done(false);
    EXPECT_FALSE(r.take_ahead(true, out));  // nothing ahead: the caller samples
    out = {5, 6};
    r.sampled_now(out);
    ASSERT_NE(r.last(), nullptr);
    EXPECT_EQ(r.last()[1], 6);
    EXPECT_TRUE(r.step_begins(false));
    r.ahead()[0] = 7;
    r.ahead()[1] = 8;
    r.step_done(true);
    EXPECT_EQ(r.last(), nullptr);
    EXPECT_TRUE(r.take_ahead(true, out));
    EXPECT_EQ(out, (std::vector<std::int32_t>{7, 8}));
    ASSERT_NE(r.last(), nullptr);
    EXPECT_EQ(r.last()[0], 7);
    EXPECT_TRUE(r.streams_behind());
    r.games_replaced();
    EXPECT_EQ(r.last(), nullptr);
    EXPECT_TRUE(r.streams_behind());  // until a call moves the streams on
    r.streams_caught_up();
    EXPECT_FALSE(r.streams_behind());
    EXPECT_FALSE(r.step_begins(true));   // the mask: never ahead, and the random sample is spent
    EXPECT_FALSE(r.step_begins(false));
    r.step_done(false);
    EXPECT_FALSE(r.take_ahead(false, out));  // a greedy sample
    EXPECT_FALSE(r.step_begins(false));
}

TEST(VectorGames, RefusedBatchesChangeNothing) {
    constexpr std::size_t N = 5;
    VectorGames v(config(N, 2));
    v.reset(5);
    std::vector<std::int32_t> actions(N);
    for (int ply = 0; ply < 30; ++ply) {
        v.sample_actions(Policy::Random, actions);
        ASSERT_FALSE(v.step(actions));
    }
    v.sample_actions(Policy::Random, actions);
    const auto before = snapshot(v);

    auto bad = actions;
    bad[3] = static_cast<std::int32_t>(GRID_SIZE);
    bad[4] = -1;
    auto error = v.step(bad);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->reason, BatchError::Reason::OutOfRange);
    EXPECT_EQ(error->game, 3u);

    bad = actions;
    bad[2] = actions[2] == 0 ? 1 : 0;  // grid index 0 and 1 are never legal after the first move
    bad[4] = bad[2];
    error = v.step(bad);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->reason, BatchError::Reason::Illegal);
    EXPECT_EQ(error->game, 2u);
    EXPECT_EQ(error->player, v.game(2).agent_selection);
    EXPECT_EQ(snapshot(v), before);

    std::vector<std::uint8_t> states(N * STATE_SIZE);
    v.to_bytes(states);
    states[3 * STATE_SIZE] = 99;  // a version no reader knows
    error = v.load(states);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->reason, BatchError::Reason::InvalidState);
    EXPECT_EQ(error->game, 3u);
    EXPECT_EQ(snapshot(v), before);

    ASSERT_FALSE(v.step(actions));  // the batch that was sampled still steps

    // Samples are trusted only for the games they were drawn for: after a reset or a load they
    // are checked again (a new game's first placement must cover its start cell).
    for (int round = 0; round < 2; ++round) {
        v.sample_actions(Policy::Random, actions);
        if (round == 0) {
            v.reset(6, std::vector<std::uint8_t>{1, 0, 0, 0, 0});
        } else {
            std::vector<std::uint8_t> fresh(N * STATE_SIZE);
            VectorGames other(config(N, 2));
            other.to_bytes(fresh);
            ASSERT_FALSE(v.load(fresh));
        }
        error = v.step(actions);
        ASSERT_TRUE(error) << "round " << round;
        EXPECT_EQ(error->reason, BatchError::Reason::Illegal);
    }
}

TEST(VectorGames, LoadRoundTripsAndPassesAgentsOutOfMoves) {
    constexpr std::size_t N = 4;
    VectorGames a(config(N, 1)), b(config(N, 2));
    a.reset(1);
    std::vector<std::int32_t> actions(N);
    for (int ply = 0; ply < 70; ++ply) {
        a.sample_actions(Policy::Random, actions);
        ASSERT_FALSE(a.step(actions));
    }
    std::vector<std::uint8_t> states(N * STATE_SIZE);
    a.to_bytes(states);
    ASSERT_FALSE(b.load(states));
    for (std::size_t i = 0; i < N; ++i) {
        EXPECT_EQ(b.game(i), a.game(i));
        expect_outputs(b, i, b.game(i));
    }
}

TEST(VectorGames, WithoutAutoresetFinishedGamesStayFinished) {
    constexpr std::size_t N = 3;
    VectorGames v(config(N, 1, ObservationMode::None, true, false));
    v.reset(2);
    std::vector<std::int32_t> actions(N);
    std::vector<bool> seen(N, false);
    for (int ply = 0; ply < 200; ++ply) {
        v.sample_actions(Policy::Random, actions);
        ASSERT_FALSE(v.step(actions));
        for (std::size_t i = 0; i < N; ++i) {
            const bool over = is_over(v.game(i));
            ASSERT_EQ(v.terminated()[i], over ? 1 : 0);
            if (!over) continue;
            ASSERT_EQ(v.current_player()[i], -1);
            float reward_sum = 0;
            for (std::size_t k = 0; k < AGENT_COUNT; ++k) reward_sum += v.rewards()[i * AGENT_COUNT + k];
            EXPECT_EQ(reward_sum > 0, !seen[i]) << "the outcome is paid once, on the step that ends the game";
            seen[i] = true;
        }
    }
    for (std::size_t i = 0; i < N; ++i) EXPECT_TRUE(seen[i]);
}

}  // namespace
}  // namespace tavrin::batch

namespace tavrin::batch {
namespace {

// A net of random weights (a scale that keeps its logits a few units wide).
std::shared_ptr<const net::Net> random_net(const net::Shape& shape, unsigned seed) {
    std::uint64_t state = seed;
    std::vector<std::vector<float>> arrays;
    for (const std::size_t n : net::array_sizes(shape)) {
        std::vector<float> a(n);
        for (float& v : a) v = static_cast<float>(static_cast<std::int64_t>(splitmix64(state) % 2001) - 1000) * 3e-4f;
        arrays.push_back(std::move(a));
    }
    std::vector<std::span<const float>> views(arrays.begin(), arrays.end());
    return std::make_shared<const net::Net>(shape, views);
}

// Net seats of two nets of different widths, one drawing from its policy, share the pool's
// threads and play the same games on one thread or three.
TEST(VectorGames, NetSeatsPlayTheSameGamesOnAnyThreadCount) {
    Config c = config(4, 1, ObservationMode::None, false, false);
    c.seats = {Seat::Net, Seat::Reach, Seat::Net, Seat::Random};
    c.settings[0].net = random_net(net::Shape{16, 3, 8}, 1);
    c.settings[2].net = random_net(net::Shape{24, 2, 4}, 2);
    c.settings[2].sample = true;
    std::vector<std::vector<std::uint8_t>> finals;
    for (const std::size_t threads : {1, 3}) {
        c.threads = threads;
        VectorGames v(c);
        v.reset(5);
        std::vector<std::uint8_t> bytes(c.num_games * STATE_SIZE);
        v.to_bytes(bytes);
        finals.push_back(bytes);
        for (std::size_t i = 0; i < c.num_games; ++i) EXPECT_TRUE(is_over(v.game(i)));
    }
    EXPECT_EQ(finals[0], finals[1]);
    c.settings[0].net = nullptr;
    EXPECT_THROW(VectorGames{c}, std::invalid_argument);
}

}  // namespace
}  // namespace tavrin::batch
