#include "game/game.h"

namespace tavrin {

Game new_game(const ActionSet& set) noexcept {
    Game game;
    for (std::size_t k = 0; k < AGENT_COUNT; ++k) game.agents[k].color = static_cast<Color>(k);
    game.action_set = &set;
    return game;
}

Game new_game() { return new_game(ActionSet::get()); }

Bitboard to_frame(const Bitboard& b, std::size_t observer) {
    switch (observer) {
        case 0:
            return b;
        case 1:
            return b.permute(ROTATE_CCW);
        case 2:
            return b.permute(ROTATE_CW).permute(ROTATE_CW);
        case 3:
            return b.permute(ROTATE_CW);
        default:
            fail_index(observer, AGENT_COUNT);
    }
}

void set_cells(Agent& agent, const Bitboard& cells) {
    agent.cells = cells;
    for (std::size_t f = 1; f < AGENT_COUNT; ++f) agent.turned[f - 1] = to_frame(cells, f);
    agent.witness_at = 0;  // new cells may make the witness illegal
}

std::uint64_t cells_key(std::size_t agent, const Bitboard& cells) {
    if (agent >= AGENT_COUNT) fail_index(agent, AGENT_COUNT);
    std::uint64_t key = 0;
    cells.for_each_one([&](unsigned p) {
        if (p >= POSITION_COUNT) fail_index(p, POSITION_COUNT);
        key ^= CELL_KEYS[agent][p];
    });
    return key;
}

std::uint16_t ply(const Game& game) noexcept {
    std::uint16_t n = 0;
    for (const Agent& agent : game.agents) n = static_cast<std::uint16_t>(n + agent.placed);
    return n;
}

std::array<bool, AGENT_COUNT> terminations(const Game& game) noexcept {
    std::array<bool, AGENT_COUNT> done{};
    for (std::size_t k = 0; k < AGENT_COUNT; ++k) done[k] = game.agents[k].done;
    return done;
}

bool is_over(const Game& game) noexcept {
    for (const Agent& agent : game.agents)
        if (!agent.done) return false;
    return true;
}

void advance_turn(Game& game) noexcept { game.agent_selection = (game.agent_selection + 1) % AGENT_COUNT; }

}  // namespace tavrin
