#include "game/render.h"

#include <cstring>
#include <string_view>

#include "game/colours.h"

namespace tavrin {
namespace {

constexpr std::string_view RULE =
    "-------------------------------------------------------------------------------------------------------";
static_assert(RULE.size() == 103);

class Writer {
 public:
    explicit Writer(char* out) : out_(out) {}
    void put(std::string_view s) {
        std::memcpy(out_ + n_, s.data(), s.size());
        n_ += s.size();
    }
    void put(char c) { out_[n_++] = c; }
    // Right-aligned in two characters.
    void number(unsigned v) {
        put(v < 10 ? ' ' : static_cast<char>('0' + v / 10));
        put(static_cast<char>('0' + v % 10));
    }
    std::size_t size() const { return n_; }

 private:
    char* out_;
    std::size_t n_ = 0;
};

}  // namespace

std::size_t render_into(const Game& game, char* out) noexcept {
    Writer w(out);
    w.put("  |");
    for (unsigned c = 0; c < BOARD_SIDE; ++c) {
        w.put(' ');
        w.number(c);
        w.put(" |");
    }
    w.put('\n');
    w.put(RULE);
    for (unsigned r = 0; r < BOARD_SIDE; ++r) {
        w.put('\n');
        w.number(r);
        for (unsigned c = 0; c < BOARD_SIDE; ++c) {
            w.put("|  ");
            std::string_view symbol = ".";
            // The lowest agent index wins should boards ever overlap (a hand-made state may).
            for (std::size_t k = AGENT_COUNT; k-- > 0;)
                if ((game.agents[k].cells.word(position(r, c) / 64) >> (position(r, c) % 64)) & 1u)
                    symbol = AGENT_COLOURS[k].cell;
            w.put(symbol);
            w.put(' ');
        }
        w.put('|');
        if (r + 1 < BOARD_SIDE) {
            w.put('\n');
            w.put(RULE);
        }
    }
    return w.size();
}

std::string to_string(const Game& game) {
    char buffer[RENDER_CAPACITY];
    return std::string(buffer, render_into(game, buffer));
}

std::ostream& operator<<(std::ostream& os, const Game& game) { return os << to_string(game); }

}  // namespace tavrin
