#include "game/bitboard/bitboard.h"

namespace tavrin {

void fail_contains(unsigned p) {
    fail("Bitboard index " + std::to_string(p) + " out of range [0, 419]");
}

void fail_translate(unsigned dx, unsigned dy) {
    fail("Invalid translation of (0,0) to (" + std::to_string(dx) + "," + std::to_string(dy) + ")");
}

}  // namespace tavrin
