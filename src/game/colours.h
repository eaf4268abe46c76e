// The agents' colours, by agent index: the one table that the board's picture, and through the
// engine's export the Python package's text boards, SVG pictures and RGB images, draw with.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "game/game.h"

namespace tavrin {

struct AgentColour {
    std::string_view name;
    std::string_view cell;       // a cell of the picture: the background escape, "x", the reset
    std::uint8_t background;     // the ANSI background colour code of `cell`
    std::array<std::uint8_t, 3> rgb;  // for pictures that are not text
};

inline constexpr std::array<AgentColour, AGENT_COUNT> AGENT_COLOURS = {{
    {"blue", "\x1b[44mx\x1b[0m", 44, {0x2f, 0x6f, 0xd6}},
    {"yellow", "\x1b[43mx\x1b[0m", 43, {0xf1, 0xc2, 0x1b}},
    {"red", "\x1b[41mx\x1b[0m", 41, {0xd8, 0x35, 0x2a}},
    {"green", "\x1b[42mx\x1b[0m", 42, {0x2e, 0x9e, 0x4f}},
}};

}  // namespace tavrin
