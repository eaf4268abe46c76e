// The search: its budget, its stopping rule and its results, over the tree of mcts_tree.cpp.
#include "game/search/mcts.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <stdexcept>
#include <string>

#include "game/error.h"
#include "game/moves.h"
#include "game/rules.h"
#include "game/search/mcts_tree.h"

namespace tavrin::search {

using namespace tree;

namespace {

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
