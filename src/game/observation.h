// One agent's view of the game: seat order starting with itself, boards turned into its frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "game/game.h"
#include "game/rules.h"

namespace tavrin {

struct Observation {
    std::array<Bitboard, AGENT_COUNT> occupied;
    std::array<Bitboard, AGENT_COUNT> corners;
    std::array<Bitboard, AGENT_COUNT> blocked;
    std::array<std::uint32_t, AGENT_COUNT> pieces{};
    std::array<bool, AGENT_COUNT> done{};
};

// Observer o's view; seat k is agent (o + k) mod 4, boards turned so o's start cell is (0, 0).
Observation observe(const Game& game, std::size_t observer);

// Every legal placement of seat 0, as action numbers of the observer frame, each once.
void observed_moves(const Game& game, const Observation& obs, Vec<std::uint16_t>& out);

// The flat 0/1 byte planes that Python wraps with numpy.frombuffer.
inline constexpr std::size_t PLANE_SIZE = AGENT_COUNT * BOARD_SIDE * BOARD_SIDE;  // 1600
inline constexpr std::size_t PIECES_SIZE = AGENT_COUNT * KIND_COUNT;              // 84

struct ObservationBytes {
    std::uint8_t observation[PLANE_SIZE];
    std::uint8_t corners[PLANE_SIZE];
    std::uint8_t blocked[PLANE_SIZE];
    std::uint8_t pieces[PIECES_SIZE];
    std::uint8_t done[AGENT_COUNT];
    std::uint8_t action_mask[GRID_SIZE];
};

// Writes observer o's planes and action mask into `out`, which must be all zero: of the mask only
// the ones are written, so a zero-filled allocation costs nothing more.
void write_observation(const Game& game, std::size_t observer, ObservationBytes& out);

}  // namespace tavrin
