// The built-in agents' rules, as single-game picks: the only implementation of each. The batched
// engine, the dataset writer, the search's playouts and the Python agents all call these.
//
// Every pick draws exactly one value from the stream it is given, whatever it finds (none when
// the agent to move has no placement), so a seeded game is the same sequence of draws however its
// decisions are served.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "game/actions/actions.h"
#include "game/game.h"
#include "game/stream.h"

namespace tavrin {

// --- What each orientation is, for callers that rank placements (no kernel headers needed) ---

struct OrientationTraits {
    std::uint8_t kind = 0;   // dense kind index; kinds are numbered by size
    std::uint8_t size = 0;   // cells
    std::uint8_t reach = 0;  // rows + columns from its box's top-left corner to its farthest cell
};

inline constexpr std::size_t MAX_PIECE_SIZE = 5;

struct OrientationTable {
    std::array<OrientationTraits, ORIENTATION_COUNT> orientation{};
    // The first orientation of each size (index 1 to 5; ORIENTATION_COUNT for none): kinds are
    // numbered by size, so one size's orientations, and its grid indexes, are one run.
    std::array<std::uint16_t, MAX_PIECE_SIZE + 2> size_start{};
    // The kinds of each size as a pieces mask (bit n: kind n).
    std::array<std::uint32_t, MAX_PIECE_SIZE + 1> kinds_of_size{};

    // The process-wide table, built by the first caller.
    static const OrientationTable& get();
};

// How far the placement at grid index g reaches from its agent's corner: row + column of its
// farthest cell in the agent's frame.
inline unsigned placement_reach(const OrientationTable& t, std::uint32_t g) noexcept {
    const std::uint32_t o = g / static_cast<std::uint32_t>(ANCHOR_COUNT), anchor = g % ANCHOR_COUNT;
    return anchor / BOARD_SIDE + anchor % BOARD_SIDE + t.orientation[o % ORIENTATION_COUNT].reach;
}

// --- Policies ---

enum class Policy : std::uint8_t { Random = 0, Greedy = 1, Reach = 2 };
inline constexpr std::size_t POLICY_COUNT = 3;
inline constexpr std::array<std::string_view, POLICY_COUNT> POLICY_NAMES = {"random", "greedy", "reach"};

// The rules, on the agent to move of `game`; the result is a grid index in its own frame, or
// nothing when it has no placement (it is done). Allocation-free.
//  - random: a uniformly random legal placement;
//  - greedy: the largest piece size that still fits, uniformly among its placements;
//  - reach: among those, the placements reaching farthest (placement_reach), uniformly.
// Greedy and reach search only the largest size that fits, one size at a time from the largest.
std::optional<std::uint32_t> pick(const Game& game, Policy policy, Stream& stream);

// The same rules over an ascending list of the legal grid indexes, or a GRID_SIZE-byte mask (1:
// legal). Given the same legal set and stream state, every form picks the same placement.
std::optional<std::uint32_t> pick_from_list(std::span<const std::uint16_t> legal, Policy policy, Stream& stream);
std::optional<std::uint32_t> pick_from_mask(const std::uint8_t* mask, Policy policy, Stream& stream);

// --- Search helpers ---

// Passes every agent to move that is out of moves, until one that has a move is to move or the
// game is over.
void skip_passes(Game& game);

}  // namespace tavrin
