#include "game/agents/policies.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "game/error.h"
#include "game/moves.h"
#include "game/rules.h"

namespace tavrin {

const OrientationTable& OrientationTable::get() {
    static const OrientationTable table = [] {
        const ActionSet& set = ActionSet::get();
        OrientationTable t;
        for (unsigned o = 0; o < ORIENTATION_COUNT; ++o) {
            const kernels::Shape& shape = set.shapes.shapes[o];
            unsigned reach = 0;
            for (unsigned c = 0; c < shape.cells; ++c) {
                const unsigned offset = kernels::OFFSETS[shape.offsets[c]];
                reach = std::max(reach, offset / ROW_STRIDE + offset % ROW_STRIDE);
            }
            t.orientation[o] = OrientationTraits{shape.kind, shape.cells, static_cast<std::uint8_t>(reach)};
        }
        t.size_start.fill(ORIENTATION_COUNT);
        for (unsigned o = ORIENTATION_COUNT; o-- > 0;) {
            const unsigned size = t.orientation[o].size;
            if (size == 0 || size > MAX_PIECE_SIZE) fail("an orientation of an unexpected size");
            t.size_start[size] = static_cast<std::uint16_t>(o);
            t.kinds_of_size[size] |= 1u << t.orientation[o].kind;
        }
        // Kinds are numbered by size, so each size must be one run of orientations.
        for (unsigned o = 1; o < ORIENTATION_COUNT; ++o)
            if (t.orientation[o].size < t.orientation[o - 1].size) fail("kinds are not numbered by size");
        return t;
    }();
    return table;
}

namespace {

// The largest reach offered and how many candidates have it: a reach pick is one uniform draw
// among those.
struct ReachTally {
    int best = -1;
    std::size_t ties = 0;
    void offer(int reach) noexcept {
        if (reach > best) {
            best = reach;
            ties = 1;
        } else if (reach == best) {
            ++ties;
        }
    }
    // The rank, among the candidates of the best reach in ascending grid index, of the one drawn.
    std::size_t draw(Stream& stream) const {
        if (ties == 0) fail("the reach rule was given no candidates");
        return stream.below(ties);
    }
};

// The k-th (from 0) candidate of `each` that `keep` accepts; the caller knows it exists.
template <class Each, class Keep>
std::uint32_t nth_candidate(Each&& each, std::size_t k, Keep&& keep) {
    std::uint32_t found = 0;
    bool have = false;
    each([&](std::uint32_t g) {
        if (have || !keep(g)) return;
        if (k-- == 0) {
            found = g;
            have = true;
        }
    });
    return found;
}

// The reach rule over any ascending candidate set: `each(f)` calls f(g) for every candidate.
template <class Each>
std::uint32_t reach_pick(Each&& each, Stream& stream) {
    const OrientationTable& t = OrientationTable::get();
    ReachTally tally;
    each([&](std::uint32_t g) { tally.offer(static_cast<int>(placement_reach(t, g))); });
    const std::size_t k = tally.draw(stream);
    return nth_candidate(each, k, [&](std::uint32_t g) { return static_cast<int>(placement_reach(t, g)) == tally.best; });
}

// The positions of each board word by row + column (a position's "diagonal"): DIAGONALS[w][d]
// holds the bits of word w whose position has row + column d. A reach pick tests a word's anchors
// one diagonal at a time from the farthest down, so it never visits the anchors that fall short.
inline constexpr unsigned DIAGONAL_COUNT = 2 * BOARD_SIDE;  // row + column of any position, spare column included
struct Diagonals {
    std::array<std::array<std::uint64_t, DIAGONAL_COUNT>, kernels::WORDS> mask{};
    // at_least[w][d]: the bits of word w on diagonal d or beyond (d from 0 to DIAGONAL_COUNT; the
    // last is empty)
    std::array<std::array<std::uint64_t, DIAGONAL_COUNT + 1>, kernels::WORDS> at_least{};
    std::array<std::uint8_t, kernels::WORDS> low{}, high{};  // the diagonals present in each word
    std::array<std::uint8_t, POSITION_COUNT> of{};           // the diagonal of each position
};
inline constexpr Diagonals DIAGONALS = [] {
    Diagonals t{};
    for (unsigned w = 0; w < kernels::WORDS; ++w) {
        t.low[w] = DIAGONAL_COUNT - 1;
        for (unsigned b = 0; b < 64; ++b) {
            const unsigned q = 64 * w + b;
            if (q >= POSITION_COUNT) break;
            const unsigned d = q / ROW_STRIDE + q % ROW_STRIDE;
            t.mask[w][d] |= std::uint64_t{1} << b;
            t.low[w] = static_cast<std::uint8_t>(std::min<unsigned>(t.low[w], d));
            t.high[w] = static_cast<std::uint8_t>(std::max<unsigned>(t.high[w], d));
            t.of[q] = static_cast<std::uint8_t>(d);
        }
        for (unsigned d = DIAGONAL_COUNT; d-- > 0;) t.at_least[w][d] = t.at_least[w][d + 1] | t.mask[w][d];
    }
    return t;
}();

// The reach rule on anchor words: the same choice, from the same draw, as reach_pick over their
// grid indexes (both take the k-th farthest anchor in ascending grid index). Playouts spend most
// of their time here, so it works a diagonal of a word at a time: an anchor's reach is its
// orientation's reach plus its position's diagonal.
std::uint32_t reach_pick_words(const kernels::AnchorWords& b, Stream& stream) {
    const OrientationTable& t = OrientationTable::get();
    ReachTally tally;
    // Backwards: the last words are the rows farthest from the corner, so the best is found
    // early and the words that fall short of it are passed over sooner. The count of ties does
    // not depend on the order.
    for (unsigned i = b.count; i-- > 0;) {
        const int own = t.orientation[b.orientation[i]].reach;
        const unsigned w = b.word[i];
        // Only anchors on or beyond diagonal best - own can equal the best found so far; most
        // words hold none, and are passed over with one test.
        const int from = std::clamp(tally.best - own, 0, static_cast<int>(DIAGONAL_COUNT));
        const unsigned base = 64 * w;
        for (std::uint64_t on = b.bits[i] & DIAGONALS.at_least[w][static_cast<unsigned>(from)]; on != 0; on &= on - 1)
            tally.offer(own + DIAGONALS.of[base + static_cast<unsigned>(std::countr_zero(on))]);
    }
    std::size_t k = tally.draw(stream);
    for (unsigned i = 0; i < b.count; ++i) {
        const int d = tally.best - t.orientation[b.orientation[i]].reach;
        const unsigned w = b.word[i];
        if (d < DIAGONALS.low[w] || d > DIAGONALS.high[w]) continue;
        std::uint64_t on = b.bits[i] & DIAGONALS.mask[w][static_cast<unsigned>(d)];
        if (on == 0) continue;  // most words; a portable build counts bits by a library call
        const auto n = static_cast<std::size_t>(std::popcount(on));
        if (k >= n) {
            k -= n;
            continue;
        }
        for (; k > 0; --k) on &= on - 1;
        const unsigned q = 64 * w + static_cast<unsigned>(std::countr_zero(on));
        return static_cast<std::uint32_t>(b.orientation[i] * ANCHOR_COUNT + q - q / ROW_STRIDE);
    }
    fail("the reach rule lost its pick");
}

// The first grid index of the largest size among the legal set whose highest entry is `last`.
std::uint32_t largest_size_from(std::uint32_t last) noexcept {
    const OrientationTable& t = OrientationTable::get();
    const unsigned size = t.orientation[(last / ANCHOR_COUNT) % ORIENTATION_COUNT].size;
    return static_cast<std::uint32_t>(t.size_start[size] * ANCHOR_COUNT);
}

}  // namespace

std::optional<std::uint32_t> pick(const Game& game, Policy policy, Stream& stream) {
    const std::size_t a = game.agent_selection;
    if (a >= AGENT_COUNT) fail_index(a, AGENT_COUNT);
    const Agent& agent = game.agents[a];
    if (agent.done) return std::nullopt;
    kernels::AnchorWords b;
    if (policy == Policy::Random) {
        const std::size_t n = legal_anchor_words(game, a, b);
        if (n == 0) return std::nullopt;
        return nth_anchor(b, stream.below(n));
    }
    const OrientationTable& t = OrientationTable::get();
    const AnchorSearch search(game, a);
    for (std::size_t size = MAX_PIECE_SIZE; size > 0; --size) {
        const std::uint32_t kinds = agent.pieces & t.kinds_of_size[size];
        if (kinds == 0) continue;
        const std::size_t n = search.find(kinds, b);
        if (n == 0) continue;
        if (policy == Policy::Greedy) return nth_anchor(b, stream.below(n));
        return reach_pick_words(b, stream);
    }
    return std::nullopt;
}

std::optional<std::uint32_t> pick_from_list(std::span<const std::uint16_t> legal, Policy policy, Stream& stream) {
    if (legal.empty()) return std::nullopt;
    if (policy == Policy::Random) return legal[stream.below(legal.size())];
    const std::uint32_t from = largest_size_from(legal.back());
    const auto first = std::lower_bound(legal.begin(), legal.end(), from);
    const std::span<const std::uint16_t> top(first, legal.end());
    if (policy == Policy::Greedy) return top[stream.below(top.size())];
    return reach_pick([&](auto&& f) { for (const std::uint16_t g : top) f(g); }, stream);
}

namespace {

// Calls f(g) for every g in [from, to) whose mask byte is set, ascending, eight bytes at a time.
template <class F>
void for_each_marked(const std::uint8_t* mask, std::size_t from, std::size_t to, F&& f) {
    std::size_t g = from;
    for (; g < to && g % 8 != 0; ++g)
        if (mask[g]) f(static_cast<std::uint32_t>(g));
    for (; g + 8 <= to; g += 8) {
        std::uint64_t w;
        std::memcpy(&w, mask + g, 8);
        if (w == 0) continue;
        if constexpr (std::endian::native != std::endian::little) {
            for (std::size_t j = 0; j < 8; ++j)
                if (mask[g + j]) f(static_cast<std::uint32_t>(g + j));
            continue;
        }
        while (w != 0) {
            const unsigned byte = static_cast<unsigned>(std::countr_zero(w)) / 8;
            f(static_cast<std::uint32_t>(g + byte));
            w &= ~(std::uint64_t{0xff} << (8 * byte));  // a byte of any nonzero value counts once
        }
    }
    for (; g < to; ++g)
        if (mask[g]) f(static_cast<std::uint32_t>(g));
}

}  // namespace

std::optional<std::uint32_t> pick_from_mask(const std::uint8_t* mask, Policy policy, Stream& stream) {
    std::size_t last = GRID_SIZE;
    while (last > 0 && mask[last - 1] == 0) --last;
    if (last == 0) return std::nullopt;
    const std::size_t from = policy == Policy::Random ? 0 : largest_size_from(static_cast<std::uint32_t>(last - 1));
    const auto each = [&](auto&& f) { for_each_marked(mask, from, last, f); };
    if (policy == Policy::Reach) return reach_pick(each, stream);
    std::size_t n = 0;
    each([&](std::uint32_t) { ++n; });
    return nth_candidate(each, stream.below(n), [](std::uint32_t) { return true; });
}

void skip_passes(Game& game) {
    while (!is_over(game) && game.agents[game.agent_selection].done) {
        if (tavrin::step(game, std::nullopt)) fail("a done agent could not pass");
    }
}

}  // namespace tavrin
