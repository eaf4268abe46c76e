// The 278-byte game state: what cannot be derived, with everything else rebuilt on reading.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "game/game.h"

namespace tavrin {

inline constexpr std::size_t STATE_SIZE = 278;
inline constexpr std::uint8_t STATE_VERSION = 1;
inline constexpr std::size_t AGENT_BLOCK_SIZE = IMAGE_SIZE + 4 + 1;  // board image, mask, last kind

using StateBytes = std::array<std::uint8_t, STATE_SIZE>;

StateBytes to_bytes(const Game& game) noexcept;
// The game stored in `data`, or nothing when the bytes are not a valid state of this version.
std::optional<Game> from_bytes(const std::uint8_t* data, std::size_t size);

}  // namespace tavrin
