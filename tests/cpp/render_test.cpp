#include "game/render.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace tavrin {
namespace {

using test::at;
using test::put;

const std::string HEADER =
    "  |  0 |  1 |  2 |  3 |  4 |  5 |  6 |  7 |  8 |  9 | 10 | 11 | 12 | 13 | 14 | 15 | 16 | 17 | 18 | 19 |";
const std::string RULE(103, '-');
const std::string FREE = "|  . ";
const std::string BLUE = "|  \x1b[44mx\x1b[0m ", YELLOW = "|  \x1b[43mx\x1b[0m ", RED = "|  \x1b[41mx\x1b[0m ",
                  GREEN = "|  \x1b[42mx\x1b[0m ";

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

// What a line looks like without its colour escapes.
std::string visible(std::string s) {
    for (std::size_t i; (i = s.find('\x1b')) != std::string::npos;) s.erase(i, s.find('m', i) - i + 1);
    return s;
}

TEST(Render, NewGameIsAnEmptyNumberedGrid) {
    const std::string text = to_string(new_game());
    const auto lines = lines_of(text);
    ASSERT_EQ(lines.size(), 41u);
    EXPECT_EQ(lines[0], HEADER);
    EXPECT_EQ(lines[1], RULE);
    EXPECT_EQ(lines[2], " 0" + repeat(FREE, 20) + "|");
    EXPECT_EQ(lines[2],
              " 0|  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |");
    for (unsigned r = 0; r < 20; ++r) {
        std::string row = r < 10 ? " " : "";
        row += std::to_string(r);
        row += repeat(FREE, 20);
        row += '|';
        EXPECT_EQ(lines[2 + 2 * r], row);
        if (r < 19) {
            EXPECT_EQ(lines[3 + 2 * r], RULE);
        }
    }
    for (const auto& line : lines) EXPECT_EQ(line.size(), 103u);
    EXPECT_NE(text.back(), '\n');
    EXPECT_EQ(text.back(), '|');
}

TEST(Render, ColoursEachAgentsCells) {
    Game g = new_game();
    for (std::size_t a = 0; a < 4; ++a) ASSERT_FALSE(step(g, 0).has_value());  // every start corner
    const std::string text = to_string(g);
    const auto lines = lines_of(text);
    ASSERT_EQ(lines.size(), 41u);
    EXPECT_EQ(lines[2], " 0" + BLUE + repeat(FREE, 18) + YELLOW + "|");
    EXPECT_EQ(lines[40], "19" + GREEN + repeat(FREE, 18) + RED + "|");
    EXPECT_EQ(lines[4], " 1" + repeat(FREE, 20) + "|");
    for (const auto& line : lines) EXPECT_EQ(visible(line).size(), 103u);
    EXPECT_EQ(text.back(), '|');

    std::ostringstream os;
    os << g;
    EXPECT_EQ(os.str(), text);
}

TEST(Render, TheLowestAgentIndexShowsOnASharedCell) {
    Game g = new_game();
    put(g, 2, PieceType::I1, at({{5, 5}}));
    put(g, 1, PieceType::I1, at({{5, 5}}));
    put(g, 3, PieceType::I1, at({{5, 5}}));
    EXPECT_EQ(lines_of(to_string(g))[12], " 5" + repeat(FREE, 5) + YELLOW + repeat(FREE, 14) + "|");
}

TEST(Render, AFullBoardFitsTheBuffer) {
    Game g = new_game();
    g.agents[3].cells = VALID_CELLS;
    std::vector<char> buffer(RENDER_CAPACITY + 64, '#');
    const std::size_t n = render_into(g, buffer.data());
    ASSERT_LE(n, RENDER_CAPACITY);
    for (std::size_t i = n; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], '#') << "wrote past the picture at " << i;
    const std::string text(buffer.data(), n);
    EXPECT_EQ(text, to_string(g));
    EXPECT_EQ(lines_of(text)[40], "19" + repeat(GREEN, 20) + "|");
}

}  // namespace
}  // namespace tavrin
