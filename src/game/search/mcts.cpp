#include "game/search/mcts.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <stdexcept>
#include <string>

#include "game/error.h"
#include "game/moves.h"
#include "game/rules.h"

namespace tavrin::search {

struct Searcher::Node {
    Game game;
    std::array<float, AGENT_COUNT> sum{};  // summed playout values, by agent
    std::uint32_t visits = 0;
    std::uint32_t first_slot = 0;     // this node's block of ranked candidates
    std::uint16_t slot_capacity = 0;  // size of the block (0: not ranked yet)
    std::uint16_t candidates = 0;     // ranked candidates in the block
    std::uint16_t opened = 0;         // children open: the first `opened` candidates
    bool terminal = false;
    bool exhausted = false;           // the candidates are every legal placement (or, guided, all it can open)
    bool guided = false;              // ranked by the guide; selects by PUCT
    float bonus = 0.0f;               // playouts the guide's value counts as, added into `sum`
    std::uint64_t tie_seed = 0;       // orders equal-rank placements, drawn once per node
};

// A ranked candidate; `child` is its node once opened.
struct Searcher::Slot {
    std::uint32_t child = 0;
    std::uint16_t move = 0;
    float prior = 0.0f;  // at a guided node, the guide's share of it (summing to 1 over the legal)
};

namespace {

// Plies a game can last: 21 pieces each.
constexpr std::size_t MAX_DEPTH = AGENT_COUNT * KIND_COUNT + 2;
// Candidates ranked when a node is first widened; each later ranking doubles its block.
constexpr std::uint16_t FIRST_CANDIDATES = 4;
// Slots per playout of budget. A node's blocks add up to under twice its last, and its last is
// at most twice its open children (or FIRST_CANDIDATES), so the blocks of all nodes stay under
// 2 × FIRST_CANDIDATES × nodes + 4 × children, and there are fewer children than nodes.
constexpr std::size_t SLOTS_PER_NODE = 2 * FIRST_CANDIDATES + 4;
// Playouts between two reads of the CPU clock.
constexpr std::uint32_t CLOCK_EVERY = 8;

double thread_cpu_ms() noexcept {
#if defined(CLOCK_THREAD_CPUTIME_ID)
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
#else
    return static_cast<double>(std::clock()) * 1e3 / CLOCKS_PER_SEC;
#endif
}

// A rank key: larger is ranked first. Reach in the top bits, then the tie order, then the grid
// index (so that the order is strict and the index comes back from the low 16 bits).
std::uint64_t rank_key(const OrientationTable& t, std::uint32_t g, std::uint64_t tie_seed) noexcept {
    const std::uint64_t tie = splitmix64_mix(tie_seed ^ g) & ((std::uint64_t{1} << 26) - 1);
    return (std::uint64_t{placement_reach(t, g)} << 42) | (tie << 16) | g;
}

}  // namespace

Outcome playout_value(const Game& finished) noexcept {
    const Scores s = scores(finished);
    const Outcome win = outcome_from_scores(s, RewardMode::WinShare);
    const Outcome rank = outcome_from_scores(s, RewardMode::Rank);
    Outcome v{};
    for (std::size_t a = 0; a < AGENT_COUNT; ++a) v[a] = 0.5f * win[a] + 0.5f * rank[a];
    return v;
}

float default_rollout_noise(std::uint32_t playouts) noexcept {
    const double from = 2.0 * SearchConfig{}.playouts;  // none up to twice the default budget
    if (playouts <= from) return 0.0f;
    return static_cast<float>(0.5 * std::min(1.0, std::log2(playouts / from)));
}

std::uint32_t widening(std::uint32_t visits) noexcept {
    return static_cast<std::uint32_t>(std::ceil(2.0 * std::sqrt(static_cast<double>(visits) + 1.0)));
}

Searcher::Searcher()
    : keys_(std::make_unique<std::uint64_t[]>(GRID_SIZE)),
      moves_(std::make_unique<std::uint16_t[]>(GRID_SIZE)),
      priors_(std::make_unique<float[]>(GRID_SIZE)),
      order_(std::make_unique<std::uint32_t[]>(GRID_SIZE)) {}
Searcher::~Searcher() = default;
Searcher::Searcher(Searcher&&) noexcept = default;
Searcher& Searcher::operator=(Searcher&&) noexcept = default;

void Searcher::reserve(std::uint32_t playouts) {
    if (playouts == 0 || playouts > MAX_PLAYOUTS)
        throw std::invalid_argument("a search's playouts must be from 1 to " + std::to_string(MAX_PLAYOUTS));
    const std::size_t nodes = std::size_t{playouts} + 1;
    if (nodes <= node_capacity_) return;
    nodes_ = std::make_unique<Node[]>(nodes);
    node_capacity_ = nodes;
    reserve_slots(nodes * SLOTS_PER_NODE);
}

void Searcher::reserve_slots(std::size_t slots) {
    if (slots <= slot_capacity_) return;
    slots_ = std::make_unique<Slot[]>(slots);
    slot_capacity_ = slots;
}

std::size_t Searcher::bytes() const noexcept {
    return node_capacity_ * sizeof(Node) + slot_capacity_ * sizeof(Slot) +
           GRID_SIZE * (sizeof(std::uint64_t) + sizeof(std::uint16_t) + sizeof(float) + sizeof(std::uint32_t));
}

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

SearchResult Searcher::search(const Game& game, const SearchConfig& config, Stream& stream, Guide* guide) {
    reserve(config.playouts);
    node_count_ = 1;
    slot_count_ = 0;
    Node& root = nodes_[0];
    root.game = game;
    root.sum = {};
    root.visits = 0;
    root.first_slot = 0;
    root.slot_capacity = root.candidates = root.opened = 0;
    root.exhausted = false;
    root.guided = false;
    root.bonus = 0.0f;
    root.terminal = is_over(game);
    guide_ = nullptr;
    evaluations_ = 0;
    SearchResult result;
    if (root.terminal) return result;
    const std::size_t mover = game.agent_selection;
    if (mover >= AGENT_COUNT) fail_index(mover, AGENT_COUNT);
    if (game.agents[mover].done) return result;
    kernels::AnchorWords b;
    const std::size_t legal = legal_anchor_words(game, mover, b);
    if (legal == 0) return result;
    // One draw from the caller's stream, whatever the search then does, as a pick takes: the
    // search's own draws come from a stream seeded with it.
    Stream own{stream.next()};
    if (legal == 1) {
        result.move = nth_anchor(b, 0);
        return result;
    }
    if (game.agents[mover].placed < config.opening) {
        result.move = pick(game, Policy::Reach, own);
        return result;
    }
    noise_ = config.rollout_noise >= 0.0f           ? config.rollout_noise
             : config.rollout == Policy::Reach ? default_rollout_noise(config.playouts)
                                               : 0.0f;
    const double start = config.cpu_ms > 0.0 ? thread_cpu_ms() : 0.0;
    if (guide != nullptr) {
        // Room for the guided blocks, made before searching. A node at one depth is guided once
        // its visits reach guide_visits, and the nodes of one depth share the playouts, so that
        // few per depth are guided; past this many the search stops asking.
        if (config.guide_visits == 0) throw std::invalid_argument("a search's guide_visits must be at least 1");
        guided_block_ = std::min<std::uint32_t>(widening(config.playouts), 0xffff);
        guided_left_ = 1 + 2 * (config.playouts / config.guide_visits);
        reserve_slots(node_capacity_ * SLOTS_PER_NODE + std::size_t{guided_left_} * guided_block_);
        guide_ = guide;
        guide_node(0, config);
    }
    std::uint32_t done = 0;
    while (done < config.playouts) {
        (void)iterate(config, own);
        ++done;
        if (config.cpu_ms > 0.0 && done % CLOCK_EVERY == 0 && thread_cpu_ms() - start >= config.cpu_ms) break;
        if (decided(config.playouts - done)) break;
    }
    result.playouts = done;
    result.nodes = node_count_;
    result.evaluations = evaluations_;
    guide_ = nullptr;
    const Slot* slots = slots_.get() + root.first_slot;
    std::uint32_t best_visits = 0;
    for (std::uint32_t k = 0; k < root.opened; ++k) {
        const std::uint32_t v = nodes_[slots[k].child].visits;
        if (v > best_visits) {  // ties go to the higher ranked
            best_visits = v;
            result.move = slots[k].move;
        }
    }
    return result;
}

bool Searcher::decided(std::uint32_t remaining) const noexcept {
    // The most visited child is played; once no other child, open or not, could catch it up with
    // every remaining playout, the rest of the budget cannot change the move. Ties go to the
    // higher ranked child, so the lead must be strict.
    const Node& root = nodes_[0];
    const Slot* slots = slots_.get() + root.first_slot;
    std::uint32_t first = 0, second = 0;
    for (std::uint32_t k = 0; k < root.opened; ++k) {
        const std::uint32_t v = nodes_[slots[k].child].visits;
        if (v > first) {
            second = first;
            first = v;
        } else if (v > second) {
            second = v;
        }
    }
    return first > second + remaining;
}

std::uint32_t Searcher::root_child_count() const noexcept { return node_count_ == 0 ? 0 : nodes_[0].opened; }
std::uint32_t Searcher::root_child_move(std::uint32_t k) const noexcept {
    return slots_[nodes_[0].first_slot + k].move;
}
std::uint32_t Searcher::root_child_visits(std::uint32_t k) const noexcept {
    return nodes_[slots_[nodes_[0].first_slot + k].child].visits;
}
float Searcher::root_child_mean(std::uint32_t k) const noexcept {
    const Node& child = nodes_[slots_[nodes_[0].first_slot + k].child];
    return child.visits == 0 ? 0.0f
                             : child.sum[nodes_[0].game.agent_selection] / (static_cast<float>(child.visits) + child.bonus);
}

}  // namespace tavrin::search
