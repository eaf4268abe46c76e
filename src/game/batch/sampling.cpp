// The batch's samplers. A sample is drawn either ahead, by the step before (sampling.h says when),
// or now, each game's on the pool thread that serves it; both draw the same action from the same stream.
// A uniform draw is a rank in the legal set: the kept legal list is indexed directly, otherwise the
// legal bits or the kernel's anchor words select it. The legal lists of every game are here too.
#include "game/batch/sampling.h"

#include <algorithm>

#include "game/batch/vector_games.h"
#include "game/error.h"
#include "game/moves.h"

namespace tavrin::batch {
void legal_bits(const Game& game, LegalBits& out) {
    out.clear();
    const std::size_t a = game.agent_selection;
    if (a >= AGENT_COUNT) fail_index(a, AGENT_COUNT);
    const Agent& agent = game.agents[a];
    if (agent.done) return;
    for_each_legal_action(game, a, [&](std::uint32_t g) { out.add(g); });
}

std::uint32_t select_legal(const LegalBits& bits, std::size_t k) {
    // Whole words are passed over by their counts; the word that holds the k-th bit is walked.
    for (std::size_t d = 0; d < SUMMARY_WORDS; ++d) {
        for (std::uint64_t summary = bits.nonzero[d]; summary != 0; summary &= summary - 1) {
            const std::size_t w = 64 * d + static_cast<unsigned>(std::countr_zero(summary));
            std::uint64_t v = bits.words[w];
            const auto n = static_cast<std::size_t>(std::popcount(v));
            if (k >= n) {
                k -= n;
                continue;
            }
            for (; k > 0; --k) v &= v - 1;
            return static_cast<std::uint32_t>(64 * w + static_cast<unsigned>(std::countr_zero(v)));
        }
    }
    fail_index(k, bits.count);
}

void VectorGames::catch_up_stream(std::size_t i, const Game& sampled) noexcept {
    if (samples_.streams_behind() && !is_over(sampled)) (void)streams_[i].next();
}

std::int32_t VectorGames::draw_ahead(std::size_t i, const Game& game) const {
    if (is_over(game)) return 0;
    Stream stream = streams_[i];
    const auto g = random_legal_action(game, game.agent_selection, stream.next());
    if (!g) fail("the agent to move has no legal placement");
    return static_cast<std::int32_t>(*g);
}

void VectorGames::sample_actions(Policy policy, std::span<std::int32_t> out) {
    sample_actions(std::span<const Policy>(&policy, 1), out);
}

void VectorGames::sample_actions(std::span<const Policy> policies, std::span<std::int32_t> out) {
    if (out.size() != size()) fail_index(out.size(), size());
    if (policies.size() != 1 && policies.size() != size()) fail_index(policies.size(), size());
    for (const Policy p : policies)
        if (static_cast<std::size_t>(p) >= POLICY_COUNT) fail_index(static_cast<std::size_t>(p), POLICY_COUNT);
    const bool all_random = policies.size() == 1 && policies[0] == Policy::Random;
    if (samples_.take_ahead(all_random, out)) return;
    pool_.run(size(), [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const Game& game = game_array()[i];
            catch_up_stream(i, game);
            out[i] = 0;
            if (is_over(game)) continue;
            const Policy policy = policies[policies.size() == 1 ? 0 : i];
            // The kept list, when it holds the whole legal set, saves the search; both pick the same.
            const auto list = legal_list_of(i);
            const auto g = list ? pick_from_list(*list, policy, streams_[i]) : pick(game, policy, streams_[i]);
            if (!g) fail("the agent to move has no legal placement");
            out[i] = static_cast<std::int32_t>(*g);
        }
    });
    samples_.sampled_now(out);
}

void VectorGames::legal_actions(std::vector<std::int64_t>& offsets, std::vector<std::int32_t>& actions) {
    // Each slot lists the chunks it served, in its own list; the chunks are then joined in game
    // order, whichever slot served them.
    struct Chunk {
        std::size_t begin, slot, from, to;
    };
    std::vector<std::vector<std::int32_t>> lists(pool_.threads());
    std::vector<std::vector<Chunk>> chunks(pool_.threads());
    offsets.assign(size() + 1, 0);
    pool_.run(size(), [&](std::size_t slot, std::size_t begin, std::size_t end) {
        std::vector<std::int32_t>& list = lists[slot];
        const std::size_t from = list.size();
        for (std::size_t i = begin; i < end; ++i) {
            const Game& game = game_array()[i];
            if (is_over(game)) continue;
            if (const auto kept = legal_list_of(i)) {
                offsets[i + 1] = static_cast<std::int64_t>(kept->size());
                list.insert(list.end(), kept->begin(), kept->end());
                continue;
            }
            LegalBits& bits = scratch_bits_[slot];
            legal_bits(game, bits);
            offsets[i + 1] = static_cast<std::int64_t>(bits.count);
            bits.for_each_word([&](std::size_t w) {
                for (std::uint64_t v = bits.words[w]; v != 0; v &= v - 1)
                    list.push_back(static_cast<std::int32_t>(64 * w + static_cast<unsigned>(std::countr_zero(v))));
            });
        }
        chunks[slot].push_back({begin, slot, from, list.size()});
    });
    std::vector<Chunk> order;
    for (const auto& c : chunks) order.insert(order.end(), c.begin(), c.end());
    std::sort(order.begin(), order.end(), [](const Chunk& a, const Chunk& b) { return a.begin < b.begin; });
    for (std::size_t i = 0; i < size(); ++i) offsets[i + 1] += offsets[i];
    actions.clear();
    actions.reserve(static_cast<std::size_t>(offsets[size()]));
    for (const Chunk& c : order) actions.insert(actions.end(), lists[c.slot].begin() + static_cast<std::ptrdiff_t>(c.from),
                                                lists[c.slot].begin() + static_cast<std::ptrdiff_t>(c.to));
}

}  // namespace tavrin::batch
