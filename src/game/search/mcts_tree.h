// The search's tree, shared by the files that build it (mcts_tree.cpp: ranking, opening and
// selecting children, playouts, guided nodes) and run it (mcts.cpp: the search, its budget and
// results). Internal to the search.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "game/moves.h"
#include "game/search/mcts.h"

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

namespace tree {

// Plies a game can last: 21 pieces each.
constexpr std::size_t MAX_DEPTH = AGENT_COUNT * KIND_COUNT + 2;
// Candidates ranked when a node is first widened; each later ranking doubles its block.
constexpr std::uint16_t FIRST_CANDIDATES = 4;
// Slots per playout of budget. A node's blocks add up to under twice its last, and its last is
// at most twice its open children (or FIRST_CANDIDATES), so the blocks of all nodes stay under
// 2 × FIRST_CANDIDATES × nodes + 4 × children, and there are fewer children than nodes.
constexpr std::size_t SLOTS_PER_NODE = 2 * FIRST_CANDIDATES + 4;

// A rank key: larger is ranked first. Reach in the top bits, then the tie order, then the grid
// index (so that the order is strict and the index comes back from the low 16 bits).
inline std::uint64_t rank_key(const OrientationTable& t, std::uint32_t g, std::uint64_t tie_seed) noexcept {
    const std::uint64_t tie = splitmix64_mix(tie_seed ^ g) & ((std::uint64_t{1} << 26) - 1);
    return (std::uint64_t{placement_reach(t, g)} << 42) | (tie << 16) | g;
}

}  // namespace tree
}  // namespace tavrin::search
