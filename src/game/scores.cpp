#include "game/scores.h"

namespace tavrin {

std::int16_t agent_score(const Agent& agent) noexcept {
    std::uint8_t remaining = 0;
    for (std::uint32_t kinds = agent.pieces & ALL_PIECES; kinds != 0; kinds &= kinds - 1)
        remaining = static_cast<std::uint8_t>(
            remaining + PieceType::from_index(static_cast<unsigned>(std::countr_zero(kinds))).cells());
    if (remaining > 0) return static_cast<std::int16_t>(-remaining);
    return agent.last_piece == PieceType::I1.code() ? 20 : 15;
}

Scores scores(const Game& game) noexcept {
    Scores s{};
    for (std::size_t k = 0; k < AGENT_COUNT; ++k) s[k] = agent_score(game.agents[k]);
    return s;
}

std::array<std::optional<std::int16_t>, AGENT_COUNT> rewards(const Game& game) noexcept {
    std::array<std::optional<std::int16_t>, AGENT_COUNT> r{};
    for (std::size_t k = 0; k < AGENT_COUNT; ++k)
        if (game.agents[k].done) r[k] = agent_score(game.agents[k]);
    return r;
}

std::optional<Outcome> outcome(const Game& game, RewardMode mode) noexcept {
    if (!is_over(game)) return std::nullopt;
    return outcome_from_scores(scores(game), mode);
}

Outcome outcome_from_scores(const Scores& s, RewardMode mode) noexcept {
    Outcome out{};
    for (std::size_t i = 0; i < AGENT_COUNT; ++i) {
        unsigned better = 0, ties = 0;
        for (std::size_t j = 0; j < AGENT_COUNT; ++j) {
            better += s[j] > s[i];
            ties += s[j] == s[i];
        }
        switch (mode) {
            case RewardMode::Score:
                out[i] = static_cast<float>(s[i]);
                break;
            case RewardMode::WinShare:
                out[i] = better == 0 ? 1.0f / static_cast<float>(ties) : 0.0f;
                break;
            case RewardMode::Rank: {
                // Single precision in this exact order, so the values are reproducible bit for bit.
                float sum = 0.0f;
                for (unsigned k = 0; k < ties; ++k) sum += static_cast<float>(3 - static_cast<int>(better + k)) / 3.0f;
                out[i] = sum / static_cast<float>(ties);
                break;
            }
        }
    }
    return out;
}

}  // namespace tavrin
