// What a batch writes for each game after it moves: the current player, the observation planes
// (from game/planes.h) and the legal-action mask with its kept legal list.
#include <cstring>
#include <limits>

#include "game/batch/vector_games.h"
#include "game/error.h"
#include "game/moves.h"
#include "game/observation.h"
#include "game/planes.h"

namespace tavrin::batch {

static_assert(PLANE_CELLS == CELL_COUNT);

void VectorGames::write_observation(std::size_t i, const Game& game) {
    const std::size_t channels = observation_channels(config_.observation);
    const Observation obs = observe(game, game.agent_selection);
    std::uint8_t* planes = observation_.get() + i * channels * PLANE_CELLS;
    // The 12 board planes are built on the stack and streamed out whole (4,800 bytes, whole
    // cache lines from a 64-byte aligned game).
    alignas(16) std::uint8_t board[BOARD_CHANNELS * PLANE_CELLS];
    for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
        write_plane(obs.occupied[k], board + k * PLANE_CELLS);
        write_plane(obs.corners[k], board + (AGENT_COUNT + k) * PLANE_CELLS);
        write_plane(obs.blocked[k], board + (2 * AGENT_COUNT + k) * PLANE_CELLS);
    }
    stream_copy(planes, board, sizeof board);
    // The constant planes are rewritten only where their value changed: the small arrays hold
    // the values the planes were last filled with.
    const bool full = config_.observation == ObservationMode::Full;
    std::uint8_t* pieces = pieces_.get() + i * PIECE_CHANNELS;
    std::uint8_t* done = done_.get() + i * AGENT_COUNT;
    for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
        for (std::size_t n = 0; n < KIND_COUNT; ++n) {
            const auto bit = static_cast<std::uint8_t>((obs.pieces[k] >> n) & 1u);
            std::uint8_t& old = pieces[k * KIND_COUNT + n];
            if (bit == old) continue;
            old = bit;
            if (full) fill_plane(planes + (BOARD_CHANNELS + k * KIND_COUNT + n) * PLANE_CELLS, bit);
        }
        const std::uint8_t flag = obs.done[k] ? 1 : 0;
        if (flag == done[k]) continue;
        done[k] = flag;
        if (full) fill_plane(planes + (BOARD_CHANNELS + PIECE_CHANNELS + k) * PLANE_CELLS, flag);
    }
}

void VectorGames::write_mask(std::size_t i, const Game& game) {
    static_assert(GRID_SIZE <= std::numeric_limits<std::uint16_t>::max() + std::size_t{1});
    const std::size_t capacity = config_.kept_legal;
    std::uint16_t* list = legal_list_.get() + i * capacity;
    std::uint32_t& count = legal_count_[i];
    std::uint8_t* row = mask_.get() + i * GRID_SIZE;
    // A legal set is a couple of hundred of 36,400 placements and the agent to move changes every
    // ply, so the old and new sets hardly overlap: clearing the old ones byte by byte and setting
    // the new ones touches only their cache lines.
    if (count > capacity) {
        std::memset(row, 0, GRID_SIZE);
    } else {
        for (std::uint32_t k = 0; k < count; ++k) row[list[k]] = 0;
    }
    count = 0;
    const std::size_t a = game.agent_selection;
    if (a >= AGENT_COUNT) fail_index(a, AGENT_COUNT);
    if (game.agents[a].done) return;
    std::uint32_t n = 0;
    for_each_legal_action(game, a, [&](std::uint32_t g) {
        row[g] = 1;
        if (n < capacity) list[n] = static_cast<std::uint16_t>(g);
        ++n;
    });
    count = n;
}

std::optional<std::span<const std::uint16_t>> VectorGames::legal_list_of(std::size_t i) const {
    if (!config_.mask || legal_count_[i] > config_.kept_legal) return std::nullopt;
    return std::span<const std::uint16_t>(legal_list_.get() + i * config_.kept_legal, legal_count_[i]);
}

void VectorGames::write_outputs(std::size_t i, const Game& game) {
    const bool over = is_over(game);
    current_player_[i] = over ? std::int8_t{-1} : static_cast<std::int8_t>(game.agent_selection);
    if (config_.observation != ObservationMode::None) write_observation(i, game);
    if (config_.mask) {
        write_mask(i, game);
    }
}

}  // namespace tavrin::batch
