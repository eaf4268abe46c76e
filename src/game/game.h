// The game value: four agent records, the board hash and whose turn it is.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "game/actions/actions.h"
#include "game/bitboard/bitboard.h"
#include "game/pieces/pieces.h"
#include "game/stream.h"

namespace tavrin {

inline constexpr std::size_t AGENT_COUNT = 4;

// An agent's colour; a new game gives agent k colour k and nothing changes it afterwards.
enum class Color : std::uint8_t { Blue = 0, Yellow = 1, Red = 2, Green = 3 };

struct Agent {
    Bitboard cells;                     // positions covered by the agent's placed pieces
    std::uint32_t pieces = ALL_PIECES;  // bit n set while the kind of dense index n is unplaced
    std::uint8_t placed = 0;            // pieces placed so far
    std::uint8_t last_piece = 0;        // code of the last placed kind; 0 for none
    Color color = Color::Blue;
    bool done = false;                  // out of moves; never reverts
    // `cells` in the frames of observers 1 to 3 (observer 0's is the game frame), kept up to date
    // by step and the state reader so that observations and move searches in an agent's own frame
    // turn no boards. Change `cells` through set_cells to keep them.
    std::array<Bitboard, AGENT_COUNT - 1> turned{};
    // A legal placement of this agent found by the last done test, as its orientation and the
    // position of its box's top-left cell in the game frame plus one; 0 when unknown. A step that
    // takes none of its cells and leaves its kind held leaves it legal, so the done test after a
    // step searches only for agents that lost theirs. Not part of the game's value: equal games
    // may hold different witnesses.
    std::uint16_t witness_at = 0;
    std::uint8_t witness_orientation = 0;

    // The cells as observer o (0 to 3) sees them.
    const Bitboard& seen_by(std::size_t o) const noexcept { return o == 0 ? cells : turned[(o - 1) % turned.size()]; }

    std::optional<PieceType> last_kind() const noexcept { return PieceType::from_code(last_piece); }

    friend bool operator==(const Agent& a, const Agent& b) noexcept {
        return a.cells == b.cells && a.pieces == b.pieces && a.placed == b.placed && a.last_piece == b.last_piece &&
               a.color == b.color && a.done == b.done && a.turned == b.turned;
    }
};

struct Game {
    std::array<Agent, AGENT_COUNT> agents;
    std::uint64_t hash = 0;  // XOR of CELL_KEYS[a][p] over every covered position p of every agent a
    const ActionSet* action_set = nullptr;
    std::size_t agent_selection = 0;
    std::size_t num_agents = AGENT_COUNT;

    friend bool operator==(const Game&, const Game&) = default;
};

static_assert(std::is_trivially_copyable_v<Game>, "a game copies as one flat value");

// b turned into observer o's frame, the one that puts o's start cell at (0, 0): agent 1 turns
// counter-clockwise, agent 2 a half turn, agent 3 clockwise.
Bitboard to_frame(const Bitboard& b, std::size_t observer);

// Sets the agent's cells and their turned copies.
void set_cells(Agent& agent, const Bitboard& cells);

// The new-game value over the given catalogue.
Game new_game(const ActionSet& set) noexcept;
// The new-game value over the process-wide catalogue, building it first if needed.
Game new_game();

// Zobrist keys by [agent][position]; distinct and non-zero, spare positions included but unused.
using CellKeys = std::array<std::array<std::uint64_t, POSITION_COUNT>, AGENT_COUNT>;
inline constexpr CellKeys CELL_KEYS = [] {
    CellKeys t{};
    std::uint64_t state = 0x74617672696e2121ull;
    for (auto& row : t)
        for (auto& key : row) key = splitmix64(state);
    t[0][0] = 0xe220a8397b1dcdafull;
    t[0][1] = 0x6e789e6aa1b965f4ull;
    t[1][0] = 0x2efc3e93492e7d12ull;
    return t;
}();

// XOR of CELL_KEYS[agent][p] over the positions of `cells`.
std::uint64_t cells_key(std::size_t agent, const Bitboard& cells);

// Placements made so far by all agents.
std::uint16_t ply(const Game& game) noexcept;
std::array<bool, AGENT_COUNT> terminations(const Game& game) noexcept;
bool is_over(const Game& game) noexcept;
void advance_turn(Game& game) noexcept;

}  // namespace tavrin
