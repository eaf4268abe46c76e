// The coloured text picture of the board.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>

#include "game/game.h"

namespace tavrin {

// Upper bound on the picture's size in bytes: every cell coloured, escapes included.
inline constexpr std::size_t RENDER_CAPACITY = 8192;

// Writes the picture (no trailing newline) into `out`, which holds RENDER_CAPACITY bytes;
// returns its length.
std::size_t render_into(const Game& game, char* out) noexcept;

std::string to_string(const Game& game);
std::ostream& operator<<(std::ostream& os, const Game& game);

}  // namespace tavrin
