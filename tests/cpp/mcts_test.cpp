// The search agent in seeded games against reach: legal moves, repeatable searches, the visit
// count, forced moves, and positions with nothing to play.
#include "game/search/mcts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "game/batch/vector_games.h"
#include "game/moves.h"
#include "game/rules.h"

namespace tavrin::search {
namespace {

// The number of legal placements of the agent to move.
std::size_t count_legal(const Game& game) {
    kernels::AnchorWords b;
    return legal_anchor_words(game, game.agent_selection, b);
}

// Sums the root's child visits, checking each child's mean value.
std::uint32_t root_visits(const Searcher& s) {
    std::uint32_t sum = 0;
    s.for_each_root_child([&](std::uint32_t, std::uint32_t visits, float mean) {
        EXPECT_GT(visits, 0u);
        EXPECT_GE(mean, 0.0f);
        EXPECT_LE(mean, 1.0f);
        sum += visits;
    });
    return sum;
}

TEST(Search, PlaysLegalRepeatableMovesWithEveryPlayoutCounted) {
    Searcher searcher, other;
    for (std::uint64_t seed = 0; seed < 3; ++seed) {
        Game game = new_game();
        Stream stream = Stream::for_game(seed, 0);
        // Seed 0's playouts mix in greedy placements, which draw from the search's stream.
        const SearchConfig config{.playouts = 40, .rollout = seed == 1 ? Policy::Random : Policy::Reach,
                                  .rollout_noise = seed == 0 ? 0.3f : -1.0f, .opening = seed == 2 ? 2u : 0u};
        std::size_t searched = 0, forced = 0;
        while (!is_over(game)) {
            skip_passes(game);
            if (is_over(game)) break;
            if (game.agent_selection != seed % AGENT_COUNT) {
                // Playouts pick from anchor words; the list form must make the same choice.
                std::vector<std::uint16_t> legal;
                for_each_legal_action(game, game.agent_selection,
                                      [&](std::uint32_t g) { legal.push_back(static_cast<std::uint16_t>(g)); });
                Stream from_list = stream;
                const auto g = pick(game, Policy::Reach, stream);
                ASSERT_EQ(g, pick_from_list(legal, Policy::Reach, from_list));
                ASSERT_EQ(from_list.state, stream.state);
                ASSERT_TRUE(g);
                ASSERT_FALSE(step(game, std::size_t{*g}));
                continue;
            }
            Stream copy = stream;
            const SearchResult r = searcher.search(game, config, stream);
            ASSERT_TRUE(r.move);
            ASSERT_TRUE(would_step(game, std::size_t{*r.move})) << "ply " << ply(game);
            // One draw from the caller's stream, whatever the search did.
            Stream one = copy;
            const std::uint64_t drawn = one.next();
            ASSERT_EQ(one.state, stream.state);
            if (game.agents[game.agent_selection].placed < config.opening) {
                Stream reach{drawn};
                ASSERT_EQ(r.move, pick(game, Policy::Reach, reach));
                ASSERT_EQ(r.playouts, 0u);
            } else if (r.playouts == 0) {
                ++forced;
                ASSERT_EQ(count_legal(game), 1u);
            } else {
                ++searched;
                ASSERT_LE(r.playouts, config.playouts);
                ASSERT_EQ(root_visits(searcher), r.playouts);
                ASSERT_LE(r.nodes, config.playouts + 1);
                // The most visited child is played.
                std::uint32_t most = 0, played = 0;
                searcher.for_each_root_child([&](std::uint32_t g, std::uint32_t v, float) {
                    most = std::max(most, v);
                    if (g == *r.move) played = v;
                });
                ASSERT_EQ(played, most);
            }
            // The same stream state gives the same search, in another searcher too.
            const SearchResult again = other.search(game, config, copy);
            ASSERT_EQ(again.move, r.move);
            ASSERT_EQ(again.nodes, r.nodes);
            ASSERT_EQ(copy.state, stream.state);
            ASSERT_FALSE(step(game, std::size_t{*r.move}));
        }
        EXPECT_GT(searched, 10u);
        (void)forced;
    }
}

TEST(Search, ForcedMovesAndNothingToPlay) {
    Searcher searcher;
    const SearchConfig config{.playouts = 50, .opening = 0};
    Stream stream{7};
    // Random games reach positions with one legal placement; it is played with no search.
    std::size_t forced = 0;
    for (std::uint64_t seed = 0; seed < 40 && forced < 3; ++seed) {
        Game game = new_game();
        Stream play = Stream::for_game(seed, 1);
        for (;;) {
            skip_passes(game);
            if (is_over(game)) break;
            if (count_legal(game) == 1) {
                const SearchResult r = searcher.search(game, config, stream);
                ASSERT_EQ(r.move, pick(game, Policy::Random, play));
                EXPECT_EQ(r.playouts, 0u);
                ++forced;
            }
            ASSERT_FALSE(step(game, std::size_t{*pick(game, Policy::Random, play)}));
        }
        // Over: no move, and no draw.
        const std::uint64_t before = stream.state;
        EXPECT_FALSE(searcher.search(game, config, stream).move);
        EXPECT_EQ(stream.state, before);
    }
    EXPECT_GE(forced, 1u);
    // A done agent to move passes.
    Game game = new_game();
    game.agents[0].done = true;
    EXPECT_FALSE(searcher.search(game, config, stream).move);
    EXPECT_THROW(searcher.search(new_game(), SearchConfig{.playouts = MAX_PLAYOUTS + 1}, stream), std::invalid_argument);
}

TEST(Search, PlayoutValueBlendsWinShareAndRank) {
    // Agent 0 placed everything (15), 1 and 2 tie on -5, 3 is last.
    Game game = new_game();
    game.agents[0].pieces = 0;
    game.agents[1].pieces = game.agents[2].pieces = 1u << 4;  // one kind of size... any kind left
    const Outcome v = playout_value(game);
    EXPECT_FLOAT_EQ(v[0], 1.0f);
    EXPECT_FLOAT_EQ(v[1], v[2]);
    EXPECT_FLOAT_EQ(v[1], 0.5f * 0.5f);  // second and third shared: rank (2/3 + 1/3) / 2
    EXPECT_FLOAT_EQ(v[3], 0.0f);
    EXPECT_EQ(widening(0), 2u);
    EXPECT_EQ(widening(3), 4u);
    EXPECT_EQ(widening(4), 5u);
}

// Search seats in the batch, each at its own budget and rollout, play each game as lone searchers
// drawing from that game's stream would, whatever the thread count.
TEST(Search, BatchSeatsMatchLoneSearchesOnEveryThreadCount) {
    batch::Config c;
    c.num_games = 5;
    c.observation = batch::ObservationMode::None;
    c.mask = false;
    c.autoreset = false;
    c.seats = {batch::Seat::Reach, batch::Seat::Search, batch::Seat::Reach, batch::Seat::Search};
    c.settings[1].search = {.playouts = 12, .rollout = Policy::Greedy};
    c.settings[3].search = {.playouts = 5, .rollout = Policy::Random};
    std::vector<std::vector<std::uint8_t>> finals;
    for (const std::size_t threads : {1, 3}) {
        c.threads = threads;
        batch::VectorGames v(c);
        v.reset(9);
        std::vector<std::uint8_t> bytes(c.num_games * STATE_SIZE);
        v.to_bytes(bytes);
        finals.push_back(bytes);
    }
    EXPECT_EQ(finals[0], finals[1]);
    Searcher searcher;
    for (std::size_t i = 0; i < c.num_games; ++i) {
        Game game = new_game();
        Stream stream = Stream::for_game(9, i);
        const SearchConfig seat1{.playouts = 12, .rollout = Policy::Greedy};
        const SearchConfig seat3{.playouts = 5, .rollout = Policy::Random};
        for (;;) {
            skip_passes(game);
            if (is_over(game)) break;
            const std::size_t a = game.agent_selection;
            const auto g = a % 2 == 0 ? pick(game, Policy::Reach, stream)
                                      : searcher.search(game, a == 1 ? seat1 : seat3, stream).move;
            ASSERT_FALSE(step(game, std::size_t{*g}));
        }
        const StateBytes want = to_bytes(game);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), finals[0].begin() + static_cast<std::ptrdiff_t>(i * STATE_SIZE)))
            << "game " << i;
    }
    c.settings[3].search.playouts = MAX_PLAYOUTS + 1;
    EXPECT_THROW(batch::VectorGames{c}, std::invalid_argument);
}

}  // namespace
}  // namespace tavrin::search
