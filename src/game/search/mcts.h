// A search agent: UCT for four players (max^n), each node keeping every agent's summed outcome so
// that the agent to move at a node picks the child best for itself.
//
// - Progressive widening: a node visited n times has at most ceil(2 sqrt(n + 1)) children open,
//   taken in rank order (piece size, then reach from the mover's corner, ties in an order drawn
//   from the search's stream). The reach policy plays the first of that order, so a small budget
//   starts from what `reach` would play and spends its visits on the next best few; widening with
//   every legal placement open would spread 200 playouts over several hundred moves.
// - Nodes hold copies of the game (a flat value): no undo. Agents out of moves are passed inside
//   the tree, so every edge is a placement.
// - Playouts finish the game with one of the engine's policies (`pick`, reach by default).
// - A playout's value to each agent is 1/2 win share + 1/2 rank score ((3 - rank) / 3, ties
//   shared): the rank half still separates second from last place when a win is out of reach,
//   which win share alone cannot, and keeps the search from giving up on lost positions.
// - The move played is the most visited child of the root. The search stops as soon as no other
//   child could overtake it within the budget: the move is the one the whole budget would give.
//
// - A guide (a learned evaluator, `Guide`) may be given. It is asked at the root and at the nodes
//   whose visits reach `guide_visits`, the busiest ones: an evaluation costs about as much as ten
//   playouts, so it is spent where most playouts pass. A guided node keeps its open children in
//   place, ranks the rest by its priors (the guide's blended with the hand ranking's,
//   `guide_mix`) and selects with PUCT (mean + c P sqrt(N) / (1 + n)) instead of UCT, opening
//   children on the widening schedule (or, without `guide_widening`, when the next one, valued at
//   the node's mean, outscores the open ones). The guide's value, when it gives one and
//   `guide_value_weight` is not 0, counts as that many playouts of the node's mean.
//
// A search takes exactly one draw from the caller's stream when the agent to move has a
// placement (none otherwise), as a policy's pick does, and seeds its own draws with it: a search
// with a playout budget only is the same for the same stream state, and the games around it do
// not depend on the budget. A CPU-time limit ends it earlier, which is not repeatable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "game/agents/policies.h"
#include "game/game.h"
#include "game/scores.h"

namespace tavrin::search {

// The largest playout budget a search takes; the arena for it is about 28 MB (Searcher::bytes; 0.8 MB at the default budget).
inline constexpr std::uint32_t MAX_PLAYOUTS = 20'000;
// The `mcts` agent's budget when none is given.
inline constexpr std::uint32_t DEFAULT_PLAYOUTS = 120;

// What a learned evaluator says of a position, for the search to weigh its placements by. The
// search is unaware of how it is computed; it asks for the agent to move in a game that is not
// over, at a node it guides, from the searching thread.
class Guide {
 public:
    virtual ~Guide() = default;
    // A weight for each of `moves` (the legal grid indexes of the agent to move, in its frame) in
    // `priors` (as long as `moves`; finite, not negative, not all 0; they need not sum to 1), and,
    // when it returns true, each agent's expected playout value (playout_value's scale, summing to
    // 1.5) in `value`. A search that must allocate nothing needs a guide that allocates nothing.
    virtual bool evaluate(const Game& game, std::span<const std::uint16_t> moves, std::span<float> priors,
                          Outcome& value) = 0;
};

// The defaults are the `mcts` agent's, tuned against three `reach` agents (benchmarks/bench_mcts.py):
// about 1 ms of CPU per move on average over a game.
struct SearchConfig {
    std::uint32_t playouts = DEFAULT_PLAYOUTS;  // budget, 1 to MAX_PLAYOUTS
    Policy rollout = Policy::Reach;   // the policy that finishes each playout
    double cpu_ms = 0.0;              // also stop after this much thread CPU time; 0: no limit
    // c of mean + c sqrt(ln N / n), outcomes in [0, 1]. Against reach, over 3,200 games each at
    // 120 playouts: c = 0.1: 92.8%, 0.15: 93.1%, 0.2: 93.5%, 0.3: 92.4% (intervals about ±0.9%);
    // a smaller c also settles the move sooner (fewer playouts used).
    float exploration = 0.2f;
    // The share of playout placements played by the greedy rule instead of `rollout`, from the
    // search's stream; below 0, the budget's default (default_rollout_noise).
    float rollout_noise = -1.0f;
    // The mover's first `opening` placements follow the reach rule unsearched. Searches there
    // cost the most (the longest playouts) and found nothing better than racing to the centre:
    // 80-playout searches that skipped them won as often as those that did not, at 70% of the time.
    std::uint32_t opening = 2;
    // The guided search's constants, chosen with the shipped net (`baseline`, 48% alone against
    // three reach) against three reach at 120 playouts (benchmarks/bench_guided.py, 200 + 300
    // games on seeds 1000 and 1001; plain search 90.5% and 93.8% on them, intervals about ±3%):
    // - priors the net's alone, PUCT alone opening the next child: 74.4% (c = 0.5; 60 playouts:
    //   c = 0.25: 66.2%, 0.5: 72.2%, 1.0: 61.1%). The net is no better a ranking than reach and
    //   PUCT trusts it: the search stops looking past the placements it likes.
    // - the hand ranking's priors alone (guide_mix 0) under PUCT: 93.5%; blended half and half:
    //   91.5%, with c = 1 and a third of the net's: 96.0%.
    // - half and half with the widening schedule kept: 96.5%, 92.5% (c = 0.2: 94.4%; c = 1:
    //   92.0%; mix 0.3: 94.6%, 0.7: 91.8%; guide_visits 16: 96.3% at 1.10 ms, 64: 93.2%; the
    //   value counted as 2 playouts: 93.3%). Each costs about 0.1 ms per move over the plain
    //   search's 0.91 ms: the root's and the busiest nodes' evaluations.
    // The differences are within the noise of these runs; the figures on games never used to
    // choose are in docs/agents.md.
    // c of PUCT at guided nodes (priors summing to 1 over the legal placements, outcomes in [0, 1]).
    float puct = 0.5f;
    // A node other than the root is guided once its visits reach this.
    std::uint32_t guide_visits = 32;
    // With a guide that gives a value: the playouts it counts as at the node it evaluates; 0
    // leaves values to the playouts alone.
    float guide_value_weight = 0.0f;
    // The share of the guide's priors in those the search uses; the rest comes from the hand
    // ranking (size, then reach), as 1 / (rank + 1), normalised.
    float guide_mix = 0.5f;
    // Guided nodes still open children no faster than `widening` allows, in prior order;
    // otherwise PUCT alone decides when the next opens (the next valued at the node's mean).
    bool guide_widening = true;
};

struct SearchResult {
    std::optional<std::uint32_t> move;  // grid index in the mover's frame; none when it is done
    // Playouts made: the budget, or fewer when the CPU limit ended the search or no other child
    // of the root could overtake the most visited any more (the move could no longer change);
    // 0 when the move was forced, an opening one, or there was none.
    std::uint32_t playouts = 0;
    std::uint32_t nodes = 0;            // tree nodes used
    std::uint32_t evaluations = 0;      // the guide's evaluations
};

// What a playout's end is worth to each agent: the blend described above.
Outcome playout_value(const Game& finished) noexcept;

// The rollout noise of a budget with reach playouts (other rollouts get none by default). Reach's
// playouts from one node nearly repeat one another, as it draws only among ties: at a small
// budget that is what wins, since one playout says much (at 300 playouts against three reach,
// 800 games: no noise 95.9%, half 94.1%, greedy playouts alone 87.7%). A large budget gains
// little from repeating them and much from variety: 480 playouts against three searches of 120
// won 36% without noise, 45% with a fifth, 51% with 0.3, 57% with half and 56% with greedy alone
// (400 or 800 games each). So none up to twice the default budget, then rising with the
// budget's logarithm to half at four times the default, and half beyond.
float default_rollout_noise(std::uint32_t playouts) noexcept;

// Children opened at a node visited n times.
std::uint32_t widening(std::uint32_t visits) noexcept;

// The search and all its memory. The arena is allocated for the largest budget asked so far and
// reused by every later search: nothing is allocated while searching.
class Searcher {
 public:
    Searcher();
    ~Searcher();
    Searcher(Searcher&&) noexcept;
    Searcher& operator=(Searcher&&) noexcept;

    // Sizes the arena for searches of up to `playouts` playouts (throws std::invalid_argument
    // above MAX_PLAYOUTS, std::bad_alloc when memory is short).
    void reserve(std::uint32_t playouts);

    // The move for the agent to move in `game`. A game over or an agent to move that is done
    // (it passes) gives no move; a single legal placement is played without searching, and an
    // opening placement by the reach rule.
    // With `guide`, the root and the busiest nodes are guided (see above); the guide is not kept.
    SearchResult search(const Game& game, const SearchConfig& config, Stream& stream, Guide* guide = nullptr);

    // The root's children after the last search, in rank order (the guide's, at a guided root):
    // f(grid index, visits, mean value to the mover). Their visits sum to the playouts made: the
    // root's visit distribution, which datasets record.
    template <class F>
    void for_each_root_child(F&& f) const;

    // Bytes held by the arena.
    std::size_t bytes() const noexcept;

 private:
    struct Node;
    struct Slot;
    std::uint32_t iterate(const SearchConfig& config, Stream& stream);
    // Asks the guide at node n: ranks its candidates by prior, keeping the open ones in place.
    void guide_node(std::uint32_t n, const SearchConfig& config);
    void reserve_slots(std::size_t slots);
    bool fill_candidates(std::uint32_t node, std::uint32_t want, Stream& stream);
    std::uint32_t open_child(std::uint32_t node);
    // Whether no child of the root can overtake the most visited with `remaining` playouts.
    bool decided(std::uint32_t remaining) const noexcept;

    std::unique_ptr<Node[]> nodes_;
    std::unique_ptr<Slot[]> slots_;
    std::size_t node_capacity_ = 0, slot_capacity_ = 0;
    std::uint32_t node_count_ = 0;
    std::size_t slot_count_ = 0;
    // Scratch for ranking a node's placements: (rank key, grid index) of the sizes searched.
    std::unique_ptr<std::uint64_t[]> keys_;
    float noise_ = 0.0f;  // the rollout noise of the search under way
    // The search under way's guide, its block size (the most children a node of the budget can
    // open), and the guided nodes it may still make room for.
    Guide* guide_ = nullptr;
    std::uint32_t guided_block_ = 0, guided_left_ = 0, evaluations_ = 0;
    // Scratch for the guide: the legal placements of a node and their priors.
    std::unique_ptr<std::uint16_t[]> moves_;
    std::unique_ptr<float[]> priors_;
    std::unique_ptr<std::uint32_t[]> order_;

 public:
    // Internal: read by for_each_root_child.
    std::uint32_t root_child_count() const noexcept;
    std::uint32_t root_child_move(std::uint32_t k) const noexcept;
    std::uint32_t root_child_visits(std::uint32_t k) const noexcept;
    float root_child_mean(std::uint32_t k) const noexcept;
};

template <class F>
void Searcher::for_each_root_child(F&& f) const {
    for (std::uint32_t k = 0; k < root_child_count(); ++k) f(root_child_move(k), root_child_visits(k), root_child_mean(k));
}

}  // namespace tavrin::search
