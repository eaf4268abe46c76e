// The catalogue and the state layout as plain tables, for a language binding to publish instead
// of restating them: orientations with their kinds, cells and anchor ranges, each agent's frame,
// and a state decoded into per-cell owners, remaining pieces and done flags.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "game/actions/actions.h"
#include "game/game.h"

namespace tavrin::batch {

struct OrientationInfo {
    unsigned kind = 0;                                  // kind index
    std::vector<std::pair<unsigned, unsigned>> cells;  // (row, column) from the box's top-left, row-major
    unsigned anchor_rows = 0;                           // anchors (row, column) with row below this …
    unsigned anchor_columns = 0;                        // … and column below this fit on the board
};

// The 91 orientations in orientation-number order, read from the placement catalogue.
std::vector<OrientationInfo> orientation_table(const ActionSet& set);

// [agent][cell r × 20 + c of the agent's frame] -> the board cell (r × 20 + c) it shows, read from
// the catalogue's per-agent turn tables.
using FrameTable = std::array<std::array<std::uint16_t, BOARD_SIDE * BOARD_SIDE>, AGENT_COUNT>;
FrameTable frame_to_board(const ActionSet& set);

// A state as arrays: by board cell the agent covering it (the lowest index should two agents
// share a cell, which only hand-made states do) or −1; by agent the remaining kinds and done flags.
struct DecodedState {
    std::array<std::int8_t, BOARD_SIDE * BOARD_SIDE> owners{};
    std::array<std::uint8_t, AGENT_COUNT * KIND_COUNT> pieces{};
    std::array<std::uint8_t, AGENT_COUNT> done{};
};
DecodedState decode_state(const Game& game);

}  // namespace tavrin::batch
