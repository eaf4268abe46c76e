// The search's tree: ranking a node's placements, opening children, selecting a path and playing
// it out, and asking the guide at the busiest nodes.
#include "game/search/mcts_tree.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include "game/error.h"
#include "game/rules.h"

namespace tavrin::search {

using namespace tree;

bool Searcher::fill_candidates(std::uint32_t n, std::uint32_t want, Stream& stream) {
    Node& node = nodes_[n];
    if (node.exhausted) return false;
    if (node.slot_capacity == 0) node.tie_seed = stream.next();
    const std::uint32_t capacity = std::min<std::uint32_t>(std::max<std::uint32_t>(want, FIRST_CANDIDATES), 0xffff);
    if (slot_count_ + capacity > slot_capacity_) return false;  // cannot happen within the bound above
    Slot* block = slots_.get() + slot_count_;
    // The ranking is a strict order fixed by the node's seed, so a larger block starts with the
    // candidates of the smaller one and the open children keep their places.
    const OrientationTable& t = OrientationTable::get();
    const std::size_t mover = node.game.agent_selection;
    const std::uint32_t held = node.game.agents[mover].pieces;
    kernels::AnchorWords b;
    const AnchorSearch search(node.game, mover);
    std::uint32_t have = 0;
    bool all = true;
    for (std::size_t size = MAX_PIECE_SIZE; size > 0 && have < capacity; --size) {
        const std::uint32_t kinds = held & t.kinds_of_size[size];
        if (kinds == 0) continue;
        if (search.find(kinds, b) == 0) continue;
        std::size_t count = 0;
        for_each_anchor(b, [&](std::uint32_t g) { keys_[count++] = rank_key(t, g, node.tie_seed); });
        const std::size_t take = std::min<std::size_t>(count, capacity - have);
        std::uint64_t* keys = keys_.get();
        std::partial_sort(keys, keys + take, keys + count, std::greater<>());
        for (std::size_t k = 0; k < take; ++k) {
            block[have].prior = 0.0f;
            block[have++].move = static_cast<std::uint16_t>(keys[k] & 0xffff);
        }
        if (take < count) all = false;
    }
    if (have < capacity && all) node.exhausted = true;
    // A smaller earlier block is abandoned: its candidates are the first of this one.
    for (std::uint32_t k = 0; k < node.opened; ++k) {
        if (block[k].move != slots_[node.first_slot + k].move) fail("a node's ranking changed");
        block[k].child = slots_[node.first_slot + k].child;
    }
    node.first_slot = static_cast<std::uint32_t>(slot_count_);
    node.slot_capacity = static_cast<std::uint16_t>(capacity);
    node.candidates = static_cast<std::uint16_t>(have);
    slot_count_ += capacity;
    return have > node.opened;
}

std::uint32_t Searcher::open_child(std::uint32_t n) {
    if (node_count_ >= node_capacity_) fail("the search arena is full");
    Node& node = nodes_[n];
    Slot& slot = slots_[node.first_slot + node.opened];
    const std::uint32_t c = node_count_++;
    Node& child = nodes_[c];
    child.game = node.game;
    if (tavrin::step(child.game, std::size_t{slot.move})) fail("a ranked candidate was refused");
    skip_passes(child.game);
    child.sum = {};
    child.visits = 0;
    child.first_slot = 0;
    child.slot_capacity = child.candidates = child.opened = 0;
    child.terminal = is_over(child.game);
    child.exhausted = false;
    child.guided = false;
    child.bonus = 0.0f;
    slot.child = c;
    ++node.opened;
    return c;
}

std::uint32_t Searcher::iterate(const SearchConfig& config, Stream& stream) {
    std::array<std::uint32_t, MAX_DEPTH> path;
    std::size_t depth = 0;
    std::uint32_t n = 0;
    path[depth++] = n;
    for (;;) {
        Node& node = nodes_[n];
        if (node.terminal) break;
        if (guide_ != nullptr && !node.guided && n != 0 && node.visits >= config.guide_visits && guided_left_ > 0)
            guide_node(n, config);
        const std::size_t mover = node.game.agent_selection;
        const Slot* slots = slots_.get() + node.first_slot;
        std::uint32_t best = 0;
        float best_score = -1.0f;
        if (node.guided) {
            // PUCT over the open children and the next candidate, which, not visited, is valued at
            // the node's mean (and is the unopened one with the largest prior, as they are ranked by
            // it): the guide, not a widening schedule, decides how far the node spreads, so that a
            // placement it finds poor costs no playout unless the open ones disappoint.
            const float explore = config.puct * std::sqrt(static_cast<float>(std::max<std::uint32_t>(node.visits, 1)));
            for (std::uint32_t k = 0; k < node.opened; ++k) {
                const Node& child = nodes_[slots[k].child];
                const float v = static_cast<float>(child.visits);
                const float score = child.sum[mover] / (v + child.bonus) + explore * slots[k].prior / (1.0f + v);
                if (score > best_score) {
                    best_score = score;
                    best = slots[k].child;
                }
            }
            if (node.opened < node.candidates && (!config.guide_widening || node.opened < widening(node.visits)) &&
                (node.opened == 0 || config.guide_widening || node.sum[mover] / (static_cast<float>(node.visits) + node.bonus) +
                                             explore * slots[node.opened].prior >
                                         best_score)) {
                n = open_child(n);
                path[depth++] = n;
                break;
            }
        } else {
            if (node.opened < widening(node.visits) &&
                (node.opened < node.candidates ||
                 fill_candidates(n, std::max<std::uint32_t>(2u * node.slot_capacity, node.opened + 1u), stream))) {
                n = open_child(n);
                path[depth++] = n;
                break;
            }
            // Max^n: the agent to move takes the child best for itself.
            const float explore = config.exploration * std::sqrt(std::log(static_cast<float>(node.visits)));
            best = slots_[node.first_slot].child;
            for (std::uint32_t k = 0; k < node.opened; ++k) {
                const Node& child = nodes_[slots_[node.first_slot + k].child];
                const float v = static_cast<float>(child.visits);
                const float score = child.sum[mover] / (v + child.bonus) + explore / std::sqrt(v);
                if (score > best_score) {
                    best_score = score;
                    best = slots_[node.first_slot + k].child;
                }
            }
        }
        n = best;
        if (depth == MAX_DEPTH) fail("a search path longer than a game");
        path[depth++] = n;
    }
    Outcome value;
    if (nodes_[n].terminal) {
        value = playout_value(nodes_[n].game);
    } else {
        Game game = nodes_[n].game;
        for (;;) {
            skip_passes(game);
            if (is_over(game)) break;
            // A draw only with noise, so that a search without it keeps its stream.
            const bool noisy = noise_ > 0.0f && static_cast<float>(stream.next() >> 40) * 0x1p-24f < noise_;
            const auto g = pick(game, noisy ? Policy::Greedy : config.rollout, stream);
            if (!g) fail("the agent to move has no legal placement");
            if (tavrin::step(game, std::size_t{*g})) fail("a policy's placement was refused");
        }
        value = playout_value(game);
    }
    for (std::size_t k = 0; k < depth; ++k) {
        Node& node = nodes_[path[k]];
        ++node.visits;
        for (std::size_t a = 0; a < AGENT_COUNT; ++a) node.sum[a] += value[a];
    }
    return n;
}

void Searcher::guide_node(std::uint32_t n, const SearchConfig& config) {
    Node& node = nodes_[n];
    --guided_left_;
    ++evaluations_;
    const std::size_t mover = node.game.agent_selection;
    std::uint32_t count = 0;
    for_each_legal_action(node.game, mover, [&](std::uint32_t g) { moves_[count++] = static_cast<std::uint16_t>(g); });
    if (count == 0) fail("a guided node has no legal placement");
    Outcome value{};
    const bool valued = guide_->evaluate(node.game, std::span<const std::uint16_t>(moves_.get(), count),
                                         std::span<float>(priors_.get(), count), value);
    double total = 0.0;
    for (std::uint32_t k = 0; k < count; ++k) {
        const float p = priors_[k];
        if (!std::isfinite(p) || p < 0.0f) fail("a guide gave a prior that is negative or not finite");
        total += p;
    }
    if (!(total > 0.0) || !std::isfinite(total)) fail("a guide gave priors that are all 0");
    float scale = static_cast<float>(1.0 / total);
    const OrientationTable& t = OrientationTable::get();
    if (config.guide_mix < 1.0f) {
        // The hand ranking as a prior: the rank of each placement by (size, reach, tie, index),
        // 1 / (rank + 1), normalised; blended with the guide's.
        const std::uint64_t seed = node.slot_capacity == 0 ? 0 : node.tie_seed;
        for (std::uint32_t k = 0; k < count; ++k) {
            const std::uint32_t size = t.orientation[(moves_[k] / ANCHOR_COUNT) % ORIENTATION_COUNT].size;
            keys_[k] = (std::uint64_t{size} << 58) | rank_key(t, moves_[k], seed);
            order_[k] = k;
        }
        std::sort(order_.get(), order_.get() + count, [&](std::uint32_t a, std::uint32_t b) { return keys_[a] > keys_[b]; });
        double harmonic = 0.0;
        for (std::uint32_t r = 0; r < count; ++r) harmonic += 1.0 / (r + 1.0);
        const float mix = std::max(0.0f, config.guide_mix);
        for (std::uint32_t r = 0; r < count; ++r) {
            const std::uint32_t k = order_[r];
            priors_[k] = mix * priors_[k] * scale + (1.0f - mix) * static_cast<float>(1.0 / ((r + 1.0) * harmonic));
        }
        scale = 1.0f;
    }
    // The open children stay where they are (their nodes are indexed by place); the rest follow by
    // prior, ties in the hand ranking's order so that a flat guide changes nothing but the selection.
    if (node.slot_capacity == 0) node.tie_seed = 0;  // never ranked by hand: no draw for the ties
    std::uint32_t rest = 0;
    const Slot* old = slots_.get() + node.first_slot;
    for (std::uint32_t k = 0; k < count; ++k) {
        bool open = false;
        for (std::uint32_t j = 0; j < node.opened && !open; ++j) open = old[j].move == moves_[k];
        if (open) continue;
        keys_[k] = rank_key(t, moves_[k], node.tie_seed);
        order_[rest++] = k;
    }
    const std::uint32_t take = std::min(rest, guided_block_ - std::min(guided_block_, std::uint32_t{node.opened}));
    std::partial_sort(order_.get(), order_.get() + take, order_.get() + rest, [&](std::uint32_t a, std::uint32_t b) {
        return priors_[a] != priors_[b] ? priors_[a] > priors_[b] : keys_[a] > keys_[b];
    });
    const std::uint32_t capacity = node.opened + take;
    if (slot_count_ + capacity > slot_capacity_) fail("the search's slots are full");  // reserved in search()
    Slot* block = slots_.get() + slot_count_;
    for (std::uint32_t j = 0; j < node.opened; ++j) {
        block[j] = old[j];
        for (std::uint32_t k = 0; k < count; ++k)
            if (moves_[k] == old[j].move) block[j].prior = priors_[k] * scale;
    }
    for (std::uint32_t j = 0; j < take; ++j) {
        block[node.opened + j].move = moves_[order_[j]];
        block[node.opened + j].prior = priors_[order_[j]] * scale;
        block[node.opened + j].child = 0;
    }
    node.first_slot = static_cast<std::uint32_t>(slot_count_);
    node.slot_capacity = static_cast<std::uint16_t>(std::max<std::uint32_t>(capacity, 1));
    node.candidates = static_cast<std::uint16_t>(capacity);
    node.exhausted = true;  // the block holds more than the budget can open
    node.guided = true;
    slot_count_ += capacity;
    if (valued && config.guide_value_weight > 0.0f) {
        for (std::size_t a = 0; a < AGENT_COUNT; ++a) node.sum[a] += config.guide_value_weight * value[a];
        node.bonus = config.guide_value_weight;
    }
}

}  // namespace tavrin::search
