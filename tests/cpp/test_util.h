// Helpers shared by the engine tests: boards by coordinates, placements named by their cells,
// hand-made positions and a seeded random source that gives the same games on every platform.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "game/actions/actions.h"
#include "game/bitboard/bitboard.h"
#include "game/error.h"
#include "game/game.h"
#include "game/observation.h"
#include "game/pieces/pieces.h"
#include "game/rules.h"

namespace tavrin::test {

// An internal fault with exactly this text.
#define EXPECT_FAULT(expr, text)                                                        \
    do {                                                                                \
        try {                                                                           \
            (void)(expr);                                                               \
            ADD_FAILURE() << "no internal fault from " #expr;                           \
        } catch (const ::tavrin::InternalError& fault_) {                               \
            EXPECT_EQ(std::string(fault_.what()), std::string(text)) << "from " #expr;  \
        }                                                                               \
    } while (0)

using Cells = std::initializer_list<std::pair<unsigned, unsigned>>;

// The board with exactly these (row, column) cells.
inline Bitboard at(Cells cells) {
    Bitboard b;
    for (auto [r, c] : cells) b |= Bitboard::cell(position(r, c));
    return b;
}

inline Bitboard of_positions(std::initializer_list<unsigned> ps) {
    Bitboard b;
    for (unsigned p : ps) b |= Bitboard::cell(p);
    return b;
}

inline std::vector<unsigned> positions_of(const Bitboard& b) {
    std::vector<unsigned> out;
    for (unsigned p : b.ones()) out.push_back(p);
    return out;
}

// The game-frame action number of the placement with exactly these cells.
inline std::size_t action_with(const ActionSet& set, const Bitboard& cells) {
    for (std::size_t a = 0; a < set.actions.size(); ++a)
        if (set.actions[a].cells == cells) return a;
    ADD_FAILURE() << "no placement has the cells " << ::testing::PrintToString(positions_of(cells));
    return std::numeric_limits<std::size_t>::max();
}

// The grid index with which `agent` names the game-frame placement with these cells: its own
// frame is the game frame turned back by `agent` quarter turns.
inline std::size_t grid_index_for(const ActionSet& set, std::size_t agent, const Bitboard& cells) {
    const std::size_t n = action_with(set, cells);
    if (n >= set.actions.size()) return GRID_SIZE;
    return set.grid_index(set.in_frame(agent, n));
}

// Lets the agent to move place the piece with these game-frame cells through `step`.
inline ::testing::AssertionResult plays(Game& game, const Bitboard& cells) {
    const std::size_t g = grid_index_for(*game.action_set, game.agent_selection, cells);
    if (auto err = step(game, g))
        return ::testing::AssertionFailure() << "agent " << game.agent_selection << " was refused "
                                             << ::testing::PrintToString(positions_of(cells));
    return ::testing::AssertionSuccess();
}

// Records a placement the way `step` would, without asking the rules: for setting up positions.
inline void put(Game& game, std::size_t agent, PieceType kind, const Bitboard& cells) {
    Agent& a = game.agents[agent];
    set_cells(a, a.cells | cells);
    a.pieces &= ~(1u << kind.index());
    a.placed = static_cast<std::uint8_t>(a.placed + 1);
    a.last_piece = kind.code();
    game.hash ^= cells_key(agent, cells);
}

// Every legal placement of `agent`, as action numbers of its own frame.
inline Vec<std::uint16_t> moves_of(const Game& game, std::size_t agent) {
    Vec<std::uint16_t> out;
    observed_moves(game, observe(game, agent), out);
    return out;
}

// The engine's splitmix64: the same games everywhere.
class Rng {
 public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() { return splitmix64(state_); }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }

 private:
    std::uint64_t state_;
};

// One random move of the agent to move: a listed placement's grid index, or a pass when it is done.
inline std::optional<std::size_t> random_action(const Game& game, Rng& rng) {
    const std::size_t a = game.agent_selection;
    if (game.agents[a].done) return std::nullopt;
    const auto moves = moves_of(game, a);
    if (moves.empty()) return std::nullopt;
    return game.action_set->actions[moves[rng.below(moves.size())]].grid_index;
}

// A game played with random legal moves until `plies` placements have been made (or it ends).
inline Game random_game(std::uint64_t seed, unsigned plies = 1000) {
    Game game = new_game();
    Rng rng(seed);
    while (!is_over(game) && ply(game) < plies) {
        auto err = step(game, random_action(game, rng));
        EXPECT_FALSE(err.has_value());
        if (err) break;
    }
    return game;
}

}  // namespace tavrin::test
