// Legal placements from whole-board operations. For every orientation of a kind still held, the
// legal anchors are the AND over its cells of the free cells moved back by the cell's offset, AND
// the OR over its cells of the corner cells moved the same way. The 15 moved copies are made once
// per search; the anchor boards then name action numbers and grid indexes directly.
//
// The inner loop runs on the widest kernel the CPU supports, chosen once per process. The
// environment variable TAVRIN_KERNEL=portable|avx2|avx512 forces one (for tests and benchmarks);
// it changes speed only, never a result.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "game/bitboard/board_words.h"
#include "game/game.h"
#include "game/kernels.h"
#include "game/rules.h"

namespace tavrin {

using kernels::Kernel;

// Every kernel of this build, narrowest first.
std::span<const Kernel* const> all_kernels() noexcept;
// The kernel of this build with that name, or null.
const Kernel* kernel_from_name(std::string_view name) noexcept;
// Whether this CPU has every feature kernel k needs.
bool kernel_supported(const Kernel& k) noexcept;
// The kernel every search uses: TAVRIN_KERNEL when it names a supported kernel, otherwise the
// widest supported one. Chosen on the first call; an unusable TAVRIN_KERNEL is reported on stderr.
const Kernel& active_kernel() noexcept;
// Makes k the kernel of every later search, when supported (for tests and benchmarks that compare
// kernels in one process). Returns whether it was.
bool select_kernel(const Kernel& k) noexcept;

// --- On masks in any frame: results are action numbers and grid indexes of that frame.

// One legal placement: its orientation and the position of its box's top-left cell, in the frame
// of the search.
struct FoundMove {
    std::uint8_t orientation = 0;
    std::uint16_t anchor = 0;
};
// Its cells, as plain words (the placement's orientation never leaves the board from its anchor).
BoardWords cells_of(const ActionSet& set, FoundMove m) noexcept;
// A legal placement of an agent with these masks and remaining kinds, or nothing when it has
// none. Stops at the first found (smallest kinds first); which one is unspecified.
std::optional<FoundMove> find_move(const ActionSet& set, const PlacementMasks& m, std::uint32_t pieces,
                                   const Kernel& k = active_kernel());
// A legal placement of agent i of `game` in the game frame when `occ` (as words) are the occupied
// cells, or nothing when it has none.
std::optional<FoundMove> find_move_of(const Game& game, std::size_t i, const BoardWords& occ);
// Whether an agent with these masks and remaining kinds has a legal placement.
bool has_move(const ActionSet& set, const PlacementMasks& m, std::uint32_t pieces, const Kernel& k = active_kernel());
// Every legal placement, as action numbers in increasing order; `out` is emptied first.
void list_moves(const ActionSet& set, const PlacementMasks& m, std::uint32_t pieces, Vec<std::uint16_t>& out,
                const Kernel& k = active_kernel());
// Sets the byte of every legal placement's grid index in `mask` (GRID_SIZE bytes) to 1; touches
// no other byte. Returns the number of legal placements.
std::size_t mark_moves(const ActionSet& set, const PlacementMasks& m, std::uint32_t pieces, std::uint8_t* mask,
                       const Kernel& k = active_kernel());
// The number of legal placements, and the one at a given rank (increasing action number) with
// no list built: a uniform pick is `nth` of `random % count`.
std::size_t count_moves(const ActionSet& set, const PlacementMasks& m, std::uint32_t pieces,
                        const Kernel& k = active_kernel());

// --- On a game, in the frame of the named agent (its grid indexes are what `step` takes).

// Every legal placement of `agent`, as its own action numbers in increasing order.
void legal_actions(const Game& game, std::size_t agent, Vec<std::uint16_t>& out);
// The legal anchors of `agent` in its own frame as non-zero board words; returns the number of
// legal placements.
std::size_t legal_anchor_words(const Game& game, std::size_t agent, kernels::AnchorWords& out);
// The same restricted to the kinds set in `kinds` (and held): a search over fewer kinds costs
// proportionally less.
std::size_t legal_anchor_words(const Game& game, std::size_t agent, std::uint32_t kinds, kernels::AnchorWords& out);
// The legal anchors of one agent in one position, a set of kinds at a time: the search input is
// made once, so a caller that tries one piece size after another (the greedy and reach rules, a
// search ranking placements) pays for it once. Gives what legal_anchor_words gives.
class AnchorSearch {
 public:
    AnchorSearch(const Game& game, std::size_t agent);
    std::size_t find(std::uint32_t kinds, kernels::AnchorWords& out) const;

 private:
    const ActionSet* set_;
    std::uint32_t pieces_;
    const Kernel* kernel_;
    kernels::Input in_;
};
// The grid index of the anchor of rank `rank` (ascending grid index) in `b`, which has more.
std::uint32_t nth_anchor(const kernels::AnchorWords& b, std::size_t rank) noexcept;
// Calls f(g) for the grid index g of every anchor in `b`, ascending.
template <class F>
void for_each_anchor(const kernels::AnchorWords& b, F&& f) {
    for (unsigned i = 0; i < b.count; ++i) {
        const unsigned o = b.orientation[i], base = b.word[i] * 64u;
        const unsigned grid = o * static_cast<unsigned>(ANCHOR_COUNT);
        for (std::uint64_t w = b.bits[i]; w != 0; w &= w - 1) {
            const unsigned q = base + static_cast<unsigned>(std::countr_zero(w));
            f(static_cast<std::uint32_t>(grid + q - q / ROW_STRIDE));
        }
    }
}
// Calls f(g) for the grid index g of every legal placement of `agent` (its own frame), ascending;
// returns their number. Nothing is allocated.
template <class F>
std::size_t for_each_legal_action(const Game& game, std::size_t agent, F&& f) {
    kernels::AnchorWords b;
    const std::size_t n = legal_anchor_words(game, agent, b);
    for_each_anchor(b, f);
    return n;
}
// Whether `agent` has any legal placement (the opposite of what `update_done` would conclude).
bool has_legal_action(const Game& game, std::size_t agent);
// The grid index of a legal placement of `agent` drawn uniformly with `random` (any 64-bit
// value), or nothing when it has none. No list is built.
std::optional<std::uint32_t> random_legal_action(const Game& game, std::size_t agent, std::uint64_t random);

}  // namespace tavrin
