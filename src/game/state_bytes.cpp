#include "game/state_bytes.h"

#include <bit>

#include "game/rules.h"

namespace tavrin {
namespace {

std::size_t block_offset(std::size_t agent) { return 1 + AGENT_BLOCK_SIZE * agent; }

}  // namespace

StateBytes to_bytes(const Game& game) noexcept {
    StateBytes out{};
    out[0] = STATE_VERSION;
    for (std::size_t i = 0; i < AGENT_COUNT; ++i) {
        std::uint8_t* block = out.data() + block_offset(i);
        const Agent& agent = game.agents[i];
        agent.cells.write_image(block);
        for (unsigned b = 0; b < 4; ++b) block[IMAGE_SIZE + b] = static_cast<std::uint8_t>(agent.pieces >> (8 * b));
        block[IMAGE_SIZE + 4] = agent.last_piece;
    }
    out[STATE_SIZE - 1] = static_cast<std::uint8_t>(game.agent_selection);
    return out;
}

std::optional<Game> from_bytes(const std::uint8_t* data, std::size_t size) {
    if (size != STATE_SIZE || data == nullptr || data[0] != STATE_VERSION) return std::nullopt;
    if (data[STATE_SIZE - 1] >= AGENT_COUNT) return std::nullopt;

    Game game = new_game();
    game.agent_selection = data[STATE_SIZE - 1];
    for (std::size_t i = 0; i < AGENT_COUNT; ++i) {
        const std::uint8_t* block = data + block_offset(i);
        const std::uint8_t last = block[IMAGE_SIZE + 4];
        if (last != 0 && !PieceType::from_code(last)) return std::nullopt;
        // One word-wide test catches the spare column and everything from 420 on.
        const Bitboard cells = Bitboard::from_image(block);
        if (!cells.and_not(VALID_CELLS).is_empty()) return std::nullopt;
        std::uint32_t mask = 0;
        for (unsigned b = 0; b < 4; ++b) mask |= std::uint32_t{block[IMAGE_SIZE + b]} << (8 * b);
        if (mask > ALL_PIECES) return std::nullopt;

        Agent& agent = game.agents[i];
        set_cells(agent, cells);
        agent.pieces = mask;
        agent.last_piece = last;
        agent.placed = static_cast<std::uint8_t>(std::popcount(mask ^ ALL_PIECES));
    }
    for (std::size_t i = 0; i < AGENT_COUNT; ++i) game.hash ^= cells_key(i, game.agents[i].cells);
    update_done(game);
    return game;
}

}  // namespace tavrin
