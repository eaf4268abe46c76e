// The whole-board move generator against a frozen copy of the corner-by-corner search it replaced,
// on every kernel this CPU runs: seeded games at every ply for all four agents, and hand-made
// states play seldom reaches (lone pieces, crowded boards, few kinds left, no moves at all).
#include "game/moves.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "game/observation.h"
#include "test_util.h"

namespace tavrin {
namespace {

using test::Rng;

// The search as it was: by corner position, then kind, then covering list; each corner joins
// `blocked` once its lists are walked, so a placement is visited once, at its first corner.
std::vector<std::uint16_t> frozen_search(const ActionSet& set, const PlacementMasks& m, std::uint32_t pieces) {
    std::vector<std::uint16_t> out;
    Bitboard blocked = m.blocked;
    for (unsigned p : m.corners.ones()) {
        for (std::uint32_t kinds = pieces & ALL_PIECES; kinds != 0; kinds &= kinds - 1) {
            for (const std::uint16_t a : set.covering(p, static_cast<unsigned>(std::countr_zero(kinds))))
                if (!set.actions[a].cells.intersects(blocked)) out.push_back(a);
        }
        blocked |= Bitboard::cell(p);
    }
    return out;
}

std::vector<std::uint16_t> sorted(std::vector<std::uint16_t> v) {
    std::sort(v.begin(), v.end());
    return v;
}

std::vector<const Kernel*> kernels_here() {
    std::vector<const Kernel*> out;
    for (const Kernel* k : all_kernels())
        if (kernel_supported(*k)) out.push_back(k);
    return out;
}

// Every kernel's list, count, mask and any-test against the frozen search on one set of masks.
void expect_kernels_agree(const ActionSet& set, const PlacementMasks& m, std::uint32_t pieces) {
    const auto want = frozen_search(set, m, pieces);
    const auto want_sorted = sorted(want);
    const auto want_mask = set.grid_mask(want);
    Vec<std::uint16_t> got;
    std::vector<std::uint8_t> mask(GRID_SIZE);
    for (const Kernel* kernel : kernels_here()) {
        const Kernel& k = *kernel;
        SCOPED_TRACE(std::string("kernel ") + k.name);
        list_moves(set, m, pieces, got, k);
        ASSERT_EQ(std::vector<std::uint16_t>(got.begin(), got.end()), want_sorted);
        ASSERT_EQ(has_move(set, m, pieces, k), !want.empty());
        ASSERT_EQ(count_moves(set, m, pieces, k), want.size());
        std::fill(mask.begin(), mask.end(), 0);
        ASSERT_EQ(mark_moves(set, m, pieces, mask.data(), k), want.size());
        ASSERT_TRUE(std::equal(mask.begin(), mask.end(), want_mask.begin()));
    }
}

// The engine's own-frame entry points against the frozen search in the game frame, turned.
void expect_game_entry_points_agree(const Game& g, std::size_t a, Rng& rng) {
    const ActionSet& set = *g.action_set;
    std::vector<std::uint16_t> want;
    for (std::uint16_t n : frozen_search(set, placement_masks(g, a), g.agents[a].pieces))
        want.push_back(set.in_frame(a, n));
    want = sorted(want);
    Vec<std::uint16_t> got;
    legal_actions(g, a, got);
    ASSERT_EQ(std::vector<std::uint16_t>(got.begin(), got.end()), want) << "agent " << a;
    ASSERT_EQ(has_legal_action(g, a), !want.empty());
    std::vector<std::uint16_t> visited;
    const std::size_t visits =
        for_each_legal_action(g, a, [&](std::uint32_t gi) { visited.push_back(*set.action_at(gi)); });
    ASSERT_EQ(visited, want);
    ASSERT_EQ(visits, want.size());
    const auto pick = random_legal_action(g, a, rng.next());
    ASSERT_EQ(pick.has_value(), !want.empty());
    if (pick) {
        const auto n = set.action_at(*pick);
        ASSERT_TRUE(n.has_value());
        ASSERT_TRUE(std::binary_search(want.begin(), want.end(), *n)) << "picked " << *pick;
        // A pick is the move of rank random % count, the same on every kernel.
        for (std::size_t r : {std::size_t{0}, want.size() / 2, want.size() - 1})
            ASSERT_EQ(set.action_at(*random_legal_action(g, a, r)), want[r]) << "rank " << r;
    }
    // The observation's list keeps the search's own order.
    Vec<std::uint16_t> observed;
    const Observation obs = observe(g, a);
    observed_moves(g, obs, observed);
    ASSERT_EQ(std::vector<std::uint16_t>(observed.begin(), observed.end()),
              frozen_search(set, {obs.blocked[0], obs.corners[0]}, obs.pieces[0]));
}

// After a step every done flag is the frozen search's verdict, and every kept witness (the move
// that spares the done test a search) is still a legal placement of its agent.
void expect_done_flags_and_witnesses(const Game& g) {
    for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
        const Agent& agent = g.agents[a];
        const PlacementMasks m = placement_masks(g, a);
        ASSERT_EQ(agent.done, frozen_search(*g.action_set, m, agent.pieces).empty()) << "agent " << a;
        if (agent.done || agent.witness_at == 0) continue;
        const FoundMove w{agent.witness_orientation, static_cast<std::uint16_t>(agent.witness_at - 1)};
        const Bitboard cells = Bitboard::from_words(cells_of(*g.action_set, w));
        const PieceType kind = PieceType::from_index(g.action_set->shapes.shapes[w.orientation].kind);
        EXPECT_TRUE(agent.pieces >> kind.index() & 1u) << "agent " << a;
        EXPECT_FALSE(cells.intersects(m.blocked)) << "agent " << a;
        EXPECT_TRUE(cells.intersects(m.corners)) << "agent " << a;
        EXPECT_EQ(cells.count(), kind.cells()) << "agent " << a;
    }
}

TEST(Moves, EveryKernelMatchesTheFrozenSearchThroughSeededGames) {
    const ActionSet& set = ActionSet::get();
    std::size_t positions = 0;
    for (std::uint64_t seed = 0; seed < 60; ++seed) {
        SCOPED_TRACE(::testing::Message() << "game " << seed);
        Rng rng(0x6d6f766573ull + seed);
        Game g = new_game();
        while (!is_over(g)) {
            for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
                ASSERT_NO_FATAL_FAILURE(expect_kernels_agree(set, placement_masks(g, a), g.agents[a].pieces));
                ASSERT_NO_FATAL_FAILURE(expect_game_entry_points_agree(g, a, rng));
                ++positions;
            }
            ASSERT_FALSE(step(g, random_legal_action(g, g.agent_selection, rng.next())).has_value());
            ASSERT_NO_FATAL_FAILURE(expect_done_flags_and_witnesses(g));
        }
    }
    EXPECT_GT(positions, 60u * 60u);
}

// The anchor words themselves and the pick of every rank agree bit for bit between the kernels
// on positions from play: the wide kernels pack words and rank them their own way.
TEST(Moves, EveryKernelGivesTheSameAnchorWordsAndRanks) {
    const Kernel& before = active_kernel();
    for (std::uint64_t seed = 0; seed < 8; ++seed) {
        Rng rng(0x72616e6bull + seed);
        Game g = new_game();
        while (!is_over(g)) {
            for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
                std::vector<std::vector<std::uint64_t>> seen;
                for (const Kernel* k : kernels_here()) {
                    ASSERT_TRUE(select_kernel(*k));
                    kernels::AnchorWords b;
                    const std::size_t n = legal_anchor_words(g, a, b);
                    std::vector<std::uint64_t> v{n, b.count};
                    for (unsigned i = 0; i < b.count; ++i) v.insert(v.end(), {b.bits[i], b.orientation[i], b.word[i]});
                    for (std::size_t r = 0; r < n; ++r) v.push_back(nth_anchor(b, r));
                    seen.push_back(std::move(v));
                }
                for (std::size_t k = 1; k < seen.size(); ++k) ASSERT_EQ(seen[k], seen[0]) << kernels_here()[k]->name;
            }
            ASSERT_TRUE(select_kernel(before));
            ASSERT_FALSE(step(g, random_legal_action(g, g.agent_selection, rng.next())).has_value());
        }
    }
    ASSERT_TRUE(select_kernel(before));
}

// Random boards by density: agents' cells drawn independently (so they may overlap or crowd the
// board), random kinds left, the masks taken from the rules as in play.
TEST(Moves, EveryKernelMatchesTheFrozenSearchOnHandMadeStates) {
    const ActionSet& set = ActionSet::get();
    Rng rng(0x0dd57a7e5ull);
    for (int round = 0; round < 400; ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        Game g = new_game();
        const unsigned density = static_cast<unsigned>(rng.below(100));  // percent of cells
        for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
            Bitboard cells;
            if (round % 4 == 1) {  // a lone piece anywhere, even off its start corner
                cells = set.actions[rng.below(ACTION_COUNT)].cells;
            } else {
                for (unsigned p : VALID_CELLS.ones())
                    if (rng.below(400) < density) cells |= Bitboard::cell(p);
            }
            set_cells(g.agents[a], cells);
            const unsigned kept = static_cast<unsigned>(rng.below(4));
            g.agents[a].pieces = kept == 0   ? ALL_PIECES
                                 : kept == 1 ? static_cast<std::uint32_t>(rng.next()) & ALL_PIECES
                                 : kept == 2 ? std::uint32_t{1} << rng.below(KIND_COUNT)
                                             : ALL_PIECES & ~1u;  // everything but the single cell
        }
        Rng picks(static_cast<std::uint64_t>(round));
        for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
            ASSERT_NO_FATAL_FAILURE(expect_kernels_agree(set, placement_masks(g, a), g.agents[a].pieces));
            ASSERT_NO_FATAL_FAILURE(expect_game_entry_points_agree(g, a, picks));
        }
    }
}

TEST(Moves, EdgesOfTheInput) {
    const ActionSet& set = ActionSet::get();
    // Corners on every cell of an empty board: every placement is legal, once.
    const PlacementMasks open{Bitboard{}, VALID_CELLS};
    expect_kernels_agree(set, open, ALL_PIECES);
    for (const Kernel* k : kernels_here()) EXPECT_EQ(count_moves(set, open, ALL_PIECES, *k), ACTION_COUNT);
    // No kinds left, no corners, nothing free.
    expect_kernels_agree(set, open, 0);
    expect_kernels_agree(set, {Bitboard{}, Bitboard{}}, ALL_PIECES);
    expect_kernels_agree(set, {VALID_CELLS, VALID_CELLS}, ALL_PIECES);
    // Each kind alone on the open board: exactly its own placements.
    for (unsigned n = 0; n < KIND_COUNT; ++n) expect_kernels_agree(set, open, 1u << n);
    // Corners along each board edge with the rest blocked: placements may not wrap across a row's
    // end or run off the last row.
    for (unsigned c = 0; c < BOARD_SIDE; ++c) {
        const Bitboard edge = Bitboard::cell(position(c, 19)) | Bitboard::cell(position(19, c)) |
                              Bitboard::cell(position(c, 0)) | Bitboard::cell(position(0, c));
        expect_kernels_agree(set, {Bitboard{}, edge}, ALL_PIECES & ~1u);
    }
}

TEST(Kernel, NamesAndTheForcedChoice) {
    ASSERT_FALSE(all_kernels().empty());
    EXPECT_EQ(all_kernels()[0], &kernels::PORTABLE);
    for (const Kernel* k : all_kernels()) EXPECT_EQ(kernel_from_name(k->name), k);
    EXPECT_EQ(kernel_from_name("sse9"), nullptr);
    EXPECT_TRUE(kernel_supported(kernels::PORTABLE));
    EXPECT_TRUE(kernel_supported(active_kernel()));
    // ctest runs this test again with TAVRIN_KERNEL set to each kernel name.
    if (const char* forced = std::getenv("TAVRIN_KERNEL")) {
        const Kernel* k = kernel_from_name(forced);
        if (k == nullptr) GTEST_SKIP() << forced << " is not a kernel of this build";
        if (!kernel_supported(*k)) GTEST_SKIP() << forced << " is not supported by this CPU";
        EXPECT_EQ(&active_kernel(), k);
    } else {
        // Unforced, the widest supported kernel runs: the last of the list this CPU supports.
        const Kernel* widest = nullptr;
        for (const Kernel* k : all_kernels())
            if (kernel_supported(*k)) widest = k;
        EXPECT_EQ(&active_kernel(), widest);
    }
    const Kernel& before = active_kernel();
    EXPECT_TRUE(select_kernel(kernels::PORTABLE));
    EXPECT_EQ(&active_kernel(), &kernels::PORTABLE);
    EXPECT_TRUE(select_kernel(before));
}

}  // namespace
}  // namespace tavrin
