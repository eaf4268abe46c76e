// What the batch's samplers work with: a legal set as bits that can be ranked and selected, and
// the record of the samples kept between calls.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

#include "game/actions/actions.h"
#include "game/batch/arrays.h"
#include "game/game.h"

namespace tavrin::batch {

// The legal set of one game as bits by grid index; a word covers 64 mask bytes.
inline constexpr std::size_t MASK_WORDS = (GRID_SIZE + 63) / 64;      // 569
inline constexpr std::size_t SUMMARY_WORDS = (MASK_WORDS + 63) / 64;  // 9

// The legal placements of one agent as bits by grid index of its own frame, with a summary of the
// words that hold any, so that clearing and scanning touch only those (a few dozen of 569).
struct LegalBits {
    std::array<std::uint64_t, MASK_WORDS> words{};
    std::array<std::uint64_t, SUMMARY_WORDS> nonzero{};  // bit w % 64 of entry w / 64: words[w] != 0
    std::size_t count = 0;

    void clear() noexcept {
        for (std::size_t d = 0; d < SUMMARY_WORDS; ++d)
            for (std::uint64_t v = nonzero[d]; v != 0; v &= v - 1)
                words[64 * d + static_cast<unsigned>(std::countr_zero(v))] = 0;
        nonzero.fill(0);
        count = 0;
    }
    void add(std::uint32_t g) noexcept {
        words[g / 64] |= std::uint64_t{1} << (g % 64);
        nonzero[g / 4096] |= std::uint64_t{1} << (g / 64 % 64);
        ++count;
    }
    // Calls f(w) for every word w that holds a legal placement, ascending.
    template <class F>
    void for_each_word(F&& f) const {
        for (std::size_t d = 0; d < SUMMARY_WORDS; ++d)
            for (std::uint64_t v = nonzero[d]; v != 0; v &= v - 1) f(64 * d + static_cast<unsigned>(std::countr_zero(v)));
    }
};

// Marks the legal placements of the agent to move in `game`, in its own frame.
void legal_bits(const Game& game, LegalBits& out);
// The k-th (from 0) grid index of `bits` in ascending order; k must be below bits.count.
std::uint32_t select_legal(const LegalBits& bits, std::size_t k);

// The samples a batch keeps between calls, and what its games' streams owe them.
//
// Without the mask, a step whose batch was sampled at random the step before draws the next
// sample too ("ahead"), from a copy of each game's stream, while the game is still in this core's
// cache: a batch stepped with its own samples then makes one pass over the games, not two. The
// draw is kept only until a call changes a game or a stream. sample_actions copies it out and
// leaves the streams for the threads that own the games to move on, in the next call that reads
// them, as its own draws would have: results never depend on whether it was made.
//
// The last sample is kept too, legal by construction while no game changed since: a step given
// the same action for a game need not check it (a check costs about as much as the step's work).
class SampleRecord {
 public:
    // Room for n games; `draw_ahead` where the batch may draw ahead (it has no mask).
    void allocate(std::size_t n, bool draw_ahead) {
        if (draw_ahead) ahead_ = allocate_array<std::int32_t>(n);
        last_ = allocate_array<std::int32_t>(n);
    }

    // A call replaced or moved games: neither sample holds anything for them any more.
    void games_replaced() noexcept { has_ahead_ = has_last_ = false; }

    // A step begins: whether it draws the next sample ahead into ahead().
    bool step_begins(bool mask) noexcept {
        has_ahead_ = false;
        const bool random = std::exchange(random_since_step_, false);
        return random && !mask;
    }
    std::int32_t* ahead() noexcept { return ahead_.get(); }
    // The last sample when it is still that of the current games, otherwise null.
    const std::int32_t* last() const noexcept { return has_last_ ? last_.get() : nullptr; }
    // A step changed its games and left the streams caught up; `drew_ahead` as step_begins said.
    void step_done(bool drew_ahead) noexcept {
        streams_behind_ = false;
        has_ahead_ = drew_ahead;
        has_last_ = false;
    }

    // sample_actions begins. When every game samples at random and the step before drew ahead,
    // copies that draw to `out` and returns true: each unfinished game then owes its stream the
    // draw. Otherwise the caller samples and then calls sampled_now.
    bool take_ahead(bool all_random, std::span<std::int32_t> out) noexcept {
        const bool use = std::exchange(has_ahead_, false) && all_random;
        if (all_random) random_since_step_ = true;
        has_last_ = false;
        if (!use) return false;
        // Copies, not worth waking the pool for; the owing streams move on in the threads whose
        // caches hold them.
        std::memcpy(out.data(), ahead_.get(), out.size() * sizeof(std::int32_t));
        std::swap(ahead_, last_);
        has_last_ = true;
        streams_behind_ = true;
        return true;
    }
    // The caller drew `out` from the games' streams, which are caught up.
    void sampled_now(std::span<const std::int32_t> out) noexcept {
        streams_behind_ = false;
        std::memcpy(last_.get(), out.data(), out.size() * sizeof(std::int32_t));
        has_last_ = true;
    }

    // Whether each game unfinished at the last sample owes its stream a draw.
    bool streams_behind() const noexcept { return streams_behind_; }
    // A call moved every owing stream on.
    void streams_caught_up() noexcept { streams_behind_ = false; }

 private:
    Array<std::int32_t> ahead_;  // the drawn action; 0 for a finished game
    Array<std::int32_t> last_;
    bool has_ahead_ = false;          // ahead_ holds the draws of the current games and streams
    bool random_since_step_ = false;  // a random sample was taken since the last step
    bool streams_behind_ = false;
    bool has_last_ = false;           // last_ holds the last sample of the current games
};

}  // namespace tavrin::batch
