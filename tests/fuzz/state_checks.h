// What must hold for any byte string handed to the state reader, whether the reader accepts it or
// not. Shared by the libFuzzer target and by the test that replays the kept corpus, so an input the
// fuzzer once found stays checked by the ordinary test run.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "game/actions/actions.h"
#include "game/game.h"
#include "game/observation.h"
#include "game/render.h"
#include "game/rules.h"
#include "game/scores.h"
#include "game/state_bytes.h"

namespace tavrin::fuzz {

// The acceptance rule written out again from the byte layout, independently of the reader: framing,
// agent byte, last kind code, board bits only on the 400 cells, and the mask below bit 21.
inline bool expected_valid(const std::uint8_t* data, std::size_t size) {
    if (size != STATE_SIZE || data[0] != STATE_VERSION || data[277] > 3) return false;
    static constexpr std::array<std::uint8_t, 21> codes = {1,  2,  3,  9,  10, 16, 22, 28, 34, 35, 41,
                                                           47, 53, 59, 65, 71, 77, 83, 89, 95, 101};
    for (std::size_t i = 0; i < AGENT_COUNT; ++i) {
        const std::uint8_t* block = data + 1 + AGENT_BLOCK_SIZE * i;
        const std::uint8_t last = block[68];
        if (last != 0 && std::find(codes.begin(), codes.end(), last) == codes.end()) return false;
        for (unsigned j = 0; j < 64; ++j) {
            for (unsigned bit = 0; bit < 8; ++bit) {
                if (!((block[j] >> bit) & 1)) continue;
                // Byte j holds positions (3 - j / 16) * 128 + (j % 16) * 8 + bit.
                const unsigned p = (3 - j / 16) * 128 + (j % 16) * 8 + bit;
                if (p >= 420 || p % 21 == 20) return false;
            }
        }
        std::uint32_t mask;
        std::memcpy(&mask, block + 64, 4);  // little-endian hosts only, as the engine's image
        if (mask >= 0x200000) return false;
    }
    return true;
}

inline std::uint64_t full_hash(const Game& game) {
    std::uint64_t h = 0;
    for (std::size_t a = 0; a < AGENT_COUNT; ++a) h ^= cells_key(a, game.agents[a].cells);
    return h;
}

// The derived fields of a game (counts, colours, hash, done flags) agree with its stored fields and
// with the legal-move search of each agent's observation.
inline std::string check_derived(const Game& game) {
    if (game.num_agents != AGENT_COUNT || game.agent_selection > 3) return "agent count or agent to move";
    if (game.hash != full_hash(game)) return "hash differs from the cells";
    Vec<std::uint16_t> moves;
    for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
        const Agent& agent = game.agents[a];
        if (agent.placed != 21 - std::popcount(agent.pieces)) return "placed differs from the mask";
        if (static_cast<std::size_t>(agent.color) != a) return "colour";
        if (agent.cells.count() != (agent.cells & VALID_CELLS).count()) return "cells off the board";
        for (std::size_t f = 0; f < AGENT_COUNT; ++f)
            if (agent.seen_by(f) != to_frame(agent.cells, f)) return "turned cells differ in frame " + std::to_string(f);
        observed_moves(game, observe(game, a), moves);
        if (agent.done != moves.empty()) return "done flag disagrees with the legal moves of agent " + std::to_string(a);
    }
    return {};
}

// Steps every `stride`-th legal move of `agent` (handed the turn) on a copy, and a few indexes off
// the mask, which must fail and change nothing.
inline std::string check_moves(const Game& game, std::size_t agent, std::size_t stride, std::uint32_t salt) {
    const ActionSet& set = *game.action_set;
    Game turn = game;
    turn.agent_selection = agent;
    Vec<std::uint16_t> moves;
    observed_moves(turn, observe(turn, agent), moves);
    std::array<std::uint8_t, GRID_SIZE> mask{};
    for (std::size_t i = 0; i < moves.size(); ++i) {
        const Action& action = set.actions.at(moves[i]);
        if (mask[action.grid_index]) return "a move listed twice";
        mask[action.grid_index] = 1;
        if (i % stride != 0) continue;
        Game trial = turn;
        if (step(trial, action.grid_index)) return "a listed move was rejected";
        const Agent& before = turn.agents[agent];
        const Agent& after = trial.agents[agent];
        if (after.placed != before.placed + 1 || after.cells.count() != before.cells.count() + action.kind.cells())
            return "a step placed the wrong piece";
        if (trial.agent_selection != (agent + 1) % AGENT_COUNT) return "turn did not pass";
        if (trial.hash != full_hash(trial)) return "hash after a step";
        for (std::size_t a = 0; a < AGENT_COUNT; ++a)
            if (turn.agents[a].done && !trial.agents[a].done) return "a done flag reverted";
    }
    for (std::uint32_t k = 0; k < 16; ++k) {
        const std::uint32_t g = (salt + k * 2654435761u) % (GRID_SIZE + 8);
        Game trial = turn;
        const bool accepted = !step(trial, g).has_value();
        const bool listed = g < GRID_SIZE && mask[g];
        if (turn.agents[agent].done) {
            if (!accepted) return "a done agent could not pass";
            continue;
        }
        if (accepted != listed) return "step and the move list disagree at " + std::to_string(g);
        if (!accepted && !(trial == turn)) return "a rejected step changed the game";
    }
    return {};
}

// The full check of one input. Internal errors are not caught: they are faults too.
inline std::string check_state_bytes(const std::uint8_t* data, std::size_t size) {
    const std::optional<Game> read = from_bytes(data, size);
    if (read.has_value() != expected_valid(data, size))
        return read ? "accepted an invalid state" : "rejected a valid state";
    if (!read) return {};
    Game game = *read;
    const StateBytes written = to_bytes(game);
    if (std::memcmp(written.data(), data, STATE_SIZE) != 0) return "to_bytes differs from the bytes read";
    if (auto e = check_derived(game); !e.empty()) return e;

    std::uint32_t salt = 0;
    for (std::size_t i = 0; i < size; ++i) salt = salt * 31 + data[i];
    for (std::size_t a = 0; a < AGENT_COUNT; ++a)
        if (auto e = check_moves(game, a, 7, salt + static_cast<std::uint32_t>(a)); !e.empty()) return e;

    static ObservationBytes planes;
    std::array<char, RENDER_CAPACITY> picture;
    // A few plies on from the state read: first listed move, or a pass.
    for (int ply = 0; ply < 6; ++ply) {
        for (std::size_t o = 0; o < AGENT_COUNT; ++o) {
            std::memset(&planes, 0, sizeof planes);
            write_observation(game, o, planes);
        }
        if (render_into(game, picture.data()) > RENDER_CAPACITY) return "picture overflow";
        (void)scores(game);
        (void)rewards(game);
        if (outcome(game, RewardMode::Rank).has_value() != is_over(game)) return "outcome before the end";
        const std::size_t mover = game.agent_selection;
        Vec<std::uint16_t> moves;
        observed_moves(game, observe(game, mover), moves);
        std::optional<std::size_t> action;
        if (!moves.empty()) action = game.action_set->actions.at(moves[(salt + ply) % moves.size()]).grid_index;
        if (step(game, action)) return "the chosen move was rejected";
        if (auto e = check_derived(game); !e.empty()) return e;
        const StateBytes again = to_bytes(game);
        const std::optional<Game> reread = from_bytes(again.data(), again.size());
        if (!reread || !(*reread == game)) return "round trip after a step";
    }
    return {};
}

}  // namespace tavrin::fuzz
