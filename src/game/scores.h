// Scores, rewards and outcomes: what a game is worth to each agent.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "game/game.h"

namespace tavrin {

enum class RewardMode : std::uint8_t { Score = 0, WinShare = 1, Rank = 2 };

inline constexpr std::array<std::string_view, 3> REWARD_MODE_NAMES = {"score", "win_share", "rank"};

// Exact, case-sensitive match of a reward mode name.
constexpr std::optional<RewardMode> reward_mode_from_name(std::string_view name) noexcept {
    for (std::size_t i = 0; i < REWARD_MODE_NAMES.size(); ++i)
        if (REWARD_MODE_NAMES[i] == name) return static_cast<RewardMode>(i);
    return std::nullopt;
}

using Scores = std::array<std::int16_t, AGENT_COUNT>;
using Outcome = std::array<float, AGENT_COUNT>;

// Minus the cells still held; 15 with every piece placed, 20 if the last one was I1.
std::int16_t agent_score(const Agent& agent) noexcept;
Scores scores(const Game& game) noexcept;
// The score of every done agent, nothing for the others.
std::array<std::optional<std::int16_t>, AGENT_COUNT> rewards(const Game& game) noexcept;
// Nothing until every agent is done.
std::optional<Outcome> outcome(const Game& game, RewardMode mode) noexcept;
Outcome outcome_from_scores(const Scores& scores, RewardMode mode) noexcept;

}  // namespace tavrin
