// The guided search with stub guides: a strong prior gets its placement played, guided searches
// repeat and play legal moves, nothing is allocated while searching, and a broken guide is refused.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "game/error.h"
#include "game/moves.h"
#include "game/rules.h"
#include "game/search/mcts.h"

// Counts the allocations of this test program, so that a search can be shown to make none.
namespace {
std::atomic<std::size_t> allocations{0};
}  // namespace

// Every unaligned form is replaced, so that none pairs with a sanitizer's own.
void* operator new(std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(n == 0 ? 1 : n);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace tavrin::search {
namespace {

// Weights the legal placement at a fixed rank (from the end of the list) `strength` times each
// of the others, and values every position by a flat share; counts its calls.
class StubGuide : public Guide {
 public:
    explicit StubGuide(float strength, std::size_t from_end = 0) : strength_(strength), from_end_(from_end) {}
    bool evaluate(const Game&, std::span<const std::uint16_t> moves, std::span<float> priors, Outcome& value) override {
        ++calls;
        for (float& p : priors) p = 1.0f;
        priors[preferred_rank(moves.size())] = strength_;
        value = {0.375f, 0.375f, 0.375f, 0.375f};
        return true;
    }
    std::size_t preferred_rank(std::size_t n) const { return n - 1 - std::min(from_end_, n - 1); }
    std::size_t calls = 0;

 private:
    float strength_;
    std::size_t from_end_;
};

// Gives a negative prior.
class BrokenGuide : public Guide {
 public:
    bool evaluate(const Game&, std::span<const std::uint16_t>, std::span<float> priors, Outcome&) override {
        for (float& p : priors) p = -1.0f;
        return false;
    }
};

std::vector<std::uint16_t> legal_list(const Game& game) {
    std::vector<std::uint16_t> legal;
    for_each_legal_action(game, game.agent_selection, [&](std::uint32_t g) { legal.push_back(static_cast<std::uint16_t>(g)); });
    return legal;
}

// Positions after the openings, from seeded reach games.
std::vector<Game> positions(std::uint64_t seed, std::size_t every) {
    std::vector<Game> out;
    Game game = new_game();
    Stream stream = Stream::for_game(seed, 0);
    for (std::size_t plies = 0;; ++plies) {
        skip_passes(game);
        if (is_over(game)) break;
        if (plies >= 8 && plies % every == 0 && legal_list(game).size() > 1) out.push_back(game);
        EXPECT_FALSE(step(game, std::size_t{*pick(game, Policy::Reach, stream)}));
    }
    return out;
}

TEST(GuidedSearch, AStrongPriorGetsItsPlacementPlayed) {
    Searcher searcher;
    StubGuide guide(1000.0f, 3);
    // The guide trusted alone (the shipped defaults blend its priors with the hand ranking's and
    // keep the widening schedule: there it is the first placement opened at the root).
    const SearchConfig config{.playouts = 24, .guide_mix = 1.0f, .guide_widening = false};
    std::size_t differs = 0, checked = 0;
    for (const Game& game : positions(3, 5)) {
        const std::vector<std::uint16_t> legal = legal_list(game);
        const std::uint16_t wanted = legal[guide.preferred_rank(legal.size())];
        Stream plain{11}, guided{11};
        const SearchResult without = searcher.search(game, config, plain);
        const SearchResult with = searcher.search(game, config, guided, &guide);
        ASSERT_EQ(with.move, wanted) << "ply " << ply(game);
        EXPECT_GE(with.evaluations, 1u);
        EXPECT_EQ(plain.state, guided.state);  // one draw either way
        std::uint32_t sum = 0;
        searcher.for_each_root_child([&](std::uint32_t, std::uint32_t v, float) { sum += v; });
        EXPECT_EQ(sum, with.playouts);
        Stream blended{11};
        (void)searcher.search(game, SearchConfig{.playouts = 24}, blended, &guide);
        std::vector<std::uint32_t> opened;
        searcher.for_each_root_child([&](std::uint32_t g, std::uint32_t, float) { opened.push_back(g); });
        ASSERT_EQ(opened.front(), wanted);
        differs += without.move != with.move;
        ++checked;
    }
    EXPECT_GT(checked, 5u);
    EXPECT_GT(differs, 0u) << "the unguided search played the stub's placement everywhere: the test shows nothing";
}

TEST(GuidedSearch, RepeatableLegalAndGuidedInsideTheTree) {
    Searcher first, second;
    StubGuide guide(20.0f), again(20.0f);
    // Interior nodes guided early, the guide's value counted, priors blended with the hand
    // ranking's, with and without the widening schedule: every part of the guided path runs.
    const SearchConfig configs[] = {
        {.playouts = 60, .guide_visits = 3, .guide_value_weight = 2.0f},
        {.playouts = 60, .guide_visits = 3, .guide_mix = 0.5f, .guide_widening = true}};
    std::uint64_t seed = 0;
    std::size_t interior = 0;  // searches that guided a node below the root
    for (const Game& game : positions(5, 3)) {
        const SearchConfig& config = configs[seed % 2];
        Stream a{++seed}, b = a;
        const SearchResult r = first.search(game, config, a, &guide);
        const SearchResult s = second.search(game, config, b, &again);
        ASSERT_TRUE(r.move);
        ASSERT_TRUE(would_step(game, std::size_t{*r.move}));
        ASSERT_EQ(r.move, s.move);
        ASSERT_EQ(r.nodes, s.nodes);
        ASSERT_EQ(r.evaluations, s.evaluations);
        ASSERT_EQ(a.state, b.state);
        interior += r.evaluations > 1;
        std::uint32_t sum = 0;
        first.for_each_root_child([&](std::uint32_t, std::uint32_t v, float mean) {
            sum += v;
            EXPECT_GE(mean, 0.0f);
            EXPECT_LE(mean, 1.0f);
        });
        EXPECT_EQ(sum, r.playouts);
    }
    EXPECT_EQ(guide.calls, again.calls);
    EXPECT_GT(interior, 3u);
}

TEST(GuidedSearch, AllocatesNothingWhileSearchingAndRefusesABrokenGuide) {
    Searcher searcher;
    StubGuide guide(5.0f);
    const SearchConfig config{.playouts = 80, .guide_visits = 4};
    const std::vector<Game> games = positions(7, 4);
    Stream stream{3};
    (void)searcher.search(games.front(), config, stream, &guide);  // sizes the arena
    for (const Game& game : games) {
        const std::size_t before = allocations.load();
        (void)searcher.search(game, config, stream, &guide);
        (void)searcher.search(game, SearchConfig{.playouts = 80}, stream);
        EXPECT_EQ(allocations.load(), before) << "ply " << ply(game);
    }
    BrokenGuide broken;
    EXPECT_THROW((void)searcher.search(games.front(), config, stream, &broken), InternalError);
    EXPECT_THROW((void)searcher.search(games.front(), SearchConfig{.guide_visits = 0}, stream, &guide),
                 std::invalid_argument);
}

}  // namespace
}  // namespace tavrin::search
