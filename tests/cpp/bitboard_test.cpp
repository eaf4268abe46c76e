#include "game/bitboard/bitboard.h"
#include "game/bitboard/board_words.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <limits>
#include <numeric>
#include <vector>

#include "test_util.h"

namespace tavrin {
namespace {

using test::at;
using test::of_positions;
using test::positions_of;
using test::Rng;

using Bits = std::bitset<BIT_COUNT>;

// The plain 512-bit number a board stands for: the reference the shifts are checked against.
Bits bits_of(const Bitboard& b) {
    Bits s;
    for (unsigned p : b.ones()) s.set(p);
    return s;
}

Bitboard board_of(const Bits& s) {
    Bitboard b;
    for (unsigned p = 0; p < BIT_COUNT; ++p)
        if (s[p]) b |= Bitboard::cell(p);
    return b;
}

// Dense, sparse and word-edge boards over all 512 bits.
std::vector<Bitboard> sample_boards() {
    Rng rng(7);
    std::vector<Bitboard> out;
    for (int i = 0; i < 4; ++i) {
        Bits s;
        for (unsigned p = 0; p < BIT_COUNT; ++p)
            if (rng.next() & 1) s.set(p);
        out.push_back(board_of(s));
    }
    for (int i = 0; i < 4; ++i) {
        Bitboard b;
        for (int k = 0; k < 6; ++k) b |= Bitboard::cell(static_cast<unsigned>(rng.below(BIT_COUNT)));
        out.push_back(b);
    }
    out.push_back(of_positions({0, 63, 64, 127, 128, 191, 192, 255, 256, 319, 320, 383, 384, 447, 448, 511}));
    out.push_back(VALID_CELLS);
    return out;
}

// A random board within positions 0 to 419, spare positions included.
Bitboard random_board_below_420(Rng& rng) {
    Bitboard b;
    for (unsigned p = 0; p < POSITION_COUNT; ++p)
        if (rng.below(3) == 0) b |= Bitboard::cell(p);
    return b;
}

TEST(BitboardImage, CornerCellsSitAtTheirFixedBytes) {
    struct Case {
        unsigned p, byte, bit;
    };
    // The board image is also the stored form of an agent's cells, so its layout is binding.
    for (const Case& c : {Case{0, 48, 0}, Case{19, 50, 3}, Case{399, 1, 7}, Case{418, 4, 2}, Case{127, 63, 7},
                          Case{128, 32, 0}, Case{384, 0, 0}, Case{448, 8, 0}, Case{511, 15, 7}}) {
        const auto image = Bitboard::cell(c.p).image();
        for (unsigned i = 0; i < IMAGE_SIZE; ++i) {
            const unsigned expected = i == c.byte ? 1u << c.bit : 0u;
            EXPECT_EQ(image[i], expected) << "position " << c.p << ", byte " << i;
        }
    }
}

TEST(BitboardImage, RoundTripsThroughBytes) {
    for (const Bitboard& b : sample_boards()) {
        const auto image = b.image();
        EXPECT_EQ(Bitboard::from_image(image.data()), b);
    }
    std::array<std::uint8_t, IMAGE_SIZE> one_byte{};
    one_byte[8] = 0x81;  // positions 448 and 455
    EXPECT_EQ(positions_of(Bitboard::from_image(one_byte.data())), (std::vector<unsigned>{448, 455}));
}

TEST(BitboardShift, MatchesThe512BitNumberForEveryDistance) {
    for (const Bitboard& b : sample_boards()) {
        const Bits s = bits_of(b);
        for (unsigned n = 0; n <= BIT_COUNT + 8; ++n) {
            ASSERT_EQ(bits_of(b << n), s << n) << "<< " << n;
            ASSERT_EQ(bits_of(b >> n), s >> n) << ">> " << n;
        }
        for (unsigned n : {1000u, 4096u, std::numeric_limits<unsigned>::max()}) {
            EXPECT_TRUE((b << n).is_empty()) << "<< " << n;
            EXPECT_TRUE((b >> n).is_empty()) << ">> " << n;
        }
    }
}

TEST(BitboardShift, CarriesAcrossWordsAndDropsOffBothEnds) {
    EXPECT_EQ(Bitboard::cell(63) << 1, Bitboard::cell(64));
    EXPECT_EQ(Bitboard::cell(127) << 1, Bitboard::cell(128));
    EXPECT_EQ(Bitboard::cell(383) << 1, Bitboard::cell(384));
    EXPECT_EQ(Bitboard::cell(128) >> 1, Bitboard::cell(127));
    EXPECT_EQ(Bitboard::cell(384) >> 22, Bitboard::cell(362));
    EXPECT_EQ(Bitboard::cell(100) << 64, Bitboard::cell(164));
    EXPECT_EQ(Bitboard::cell(300) >> 128, Bitboard::cell(172));
    EXPECT_EQ(Bitboard::cell(0) << 511, Bitboard::cell(511));
    EXPECT_TRUE((Bitboard::cell(0) << 512).is_empty());
    EXPECT_TRUE((Bitboard::cell(511) << 1).is_empty());
    EXPECT_TRUE((Bitboard::cell(5) >> 6).is_empty());
    EXPECT_EQ(Bitboard::cell(77) << 0, Bitboard::cell(77));
    EXPECT_EQ(Bitboard::cell(77) >> 0, Bitboard::cell(77));
}

TEST(BitboardShift, NeighbourStepsLandOnTheSpareColumnOrOffTheBoard) {
    // (19, 19) one step right is the spare position 419, which VALID_CELLS removes.
    EXPECT_EQ(Bitboard::cell(418) << 1, Bitboard::cell(419));
    EXPECT_TRUE(((Bitboard::cell(418) << 1) & VALID_CELLS).is_empty());
    EXPECT_EQ(Bitboard::cell(20) >> 1, Bitboard::cell(19));
    EXPECT_EQ(Bitboard::cell(21) >> 1, Bitboard::cell(20));
    EXPECT_EQ(Bitboard::cell(position(3, 19)) << STEP_RIGHT, Bitboard::cell(83));
    EXPECT_EQ(Bitboard::cell(position(3, 0)) >> STEP_RIGHT, Bitboard::cell(62));
    EXPECT_EQ(Bitboard::cell(position(19, 0)) << STEP_DOWN, Bitboard::cell(420));
}

TEST(BitboardGrow, NeighboursNeverWrapAroundTheBoard) {
    // Each cell's grown sets against the same sets worked out by coordinates.
    for (int r = 0; r < 20; ++r) {
        for (int c = 0; c < 20; ++c) {
            Bitboard edge = Bitboard::cell(position(r, c)), diag = edge;
            auto add = [](Bitboard& b, int rr, int cc) {
                if (rr >= 0 && rr < 20 && cc >= 0 && cc < 20) b |= Bitboard::cell(position(rr, cc));
            };
            add(edge, r - 1, c), add(edge, r + 1, c), add(edge, r, c - 1), add(edge, r, c + 1);
            add(diag, r - 1, c - 1), add(diag, r - 1, c + 1), add(diag, r + 1, c - 1), add(diag, r + 1, c + 1);
            const Bitboard b = Bitboard::cell(position(r, c));
            ASSERT_EQ(orthogonal_grow(b), edge) << "(" << r << ", " << c << ")";
            ASSERT_EQ(diagonal_grow(b), diag) << "(" << r << ", " << c << ")";
        }
    }
    EXPECT_EQ(diagonal_grow(at({{3, 19}})), at({{3, 19}, {2, 18}, {4, 18}}));
    EXPECT_EQ(orthogonal_grow(at({{3, 0}})), at({{3, 0}, {2, 0}, {4, 0}, {3, 1}}));
}

// The word forms the step uses, on random and edge boards: same sets as the Bitboard's.
TEST(BitboardGrow, WordFormsMatch) {
    Rng rng(0x67726f77ull);
    std::vector<Bitboard> boards = sample_boards();
    for (int i = 0; i < 200; ++i) boards.push_back(random_board_below_420(rng));
    for (const Bitboard& b : boards) {
        const BoardWords w = words_of(b);
        ASSERT_EQ(Bitboard::from_words(w), b);
        ASSERT_EQ(Bitboard::from_words(orthogonal_grow(w)), orthogonal_grow(b));
        ASSERT_EQ(Bitboard::from_words(diagonal_grow(w)), diagonal_grow(b));
        const Bitboard other = random_board_below_420(rng);
        ASSERT_EQ(any_common(w, words_of(other)), b.intersects(other));
        ASSERT_EQ(any_common(other, w), b.intersects(other));
    }
}

TEST(BitboardOnes, YieldsEverySetPositionInIncreasingOrder) {
    EXPECT_TRUE(positions_of(Bitboard{}).empty());

    const auto valid = positions_of(VALID_CELLS);
    ASSERT_EQ(valid.size(), 400u);
    EXPECT_EQ(valid.front(), 0u);
    EXPECT_EQ(valid.back(), 418u);
    EXPECT_TRUE(std::is_sorted(valid.begin(), valid.end()));
    EXPECT_TRUE(std::none_of(valid.begin(), valid.end(), [](unsigned p) { return p % ROW_STRIDE == 20; }));

    const std::vector<unsigned> edges = {0, 63, 64, 127, 128, 255, 256, 419, 420, 447, 448, 511};
    Bitboard b;
    for (unsigned p : edges) b |= Bitboard::cell(p);
    EXPECT_EQ(positions_of(b), edges);
    std::vector<unsigned> folded;
    b.for_each_one([&](unsigned p) { folded.push_back(p); });
    EXPECT_EQ(folded, edges);
    EXPECT_EQ(b.count(), edges.size());
}

TEST(BitboardSetOps, AgreeWithThe512BitNumber) {
    const auto boards = sample_boards();
    for (const Bitboard& a : boards) {
        for (const Bitboard& b : boards) {
            const Bits x = bits_of(a), y = bits_of(b);
            EXPECT_EQ(bits_of(a & b), x & y);
            EXPECT_EQ(bits_of(a | b), x | y);
            EXPECT_EQ(bits_of(a ^ b), x ^ y);
            EXPECT_EQ(bits_of(a.and_not(b)), x & ~y);
            EXPECT_EQ(a.intersects(b), (x & y).any());
            EXPECT_EQ(a == b, x == y);
            if (a == b) {
                EXPECT_EQ(a.hash(), b.hash());
            }
        }
    }
    // Equality covers the positions outside the board too.
    EXPECT_NE(Bitboard::cell(511), Bitboard{});
    EXPECT_NE(VALID_CELLS | Bitboard::cell(500), VALID_CELLS);
}

TEST(BitboardEmptiness, OffBoardPositionsDoNotCountAsCells) {
    EXPECT_TRUE(Bitboard{}.is_empty());
    EXPECT_FALSE(Bitboard{}.any_cell());
    EXPECT_TRUE(Bitboard::cell(0).any_cell());
    EXPECT_TRUE(Bitboard::cell(419).any_cell());
    EXPECT_FALSE(Bitboard::cell(420).is_empty());
    EXPECT_FALSE(Bitboard::cell(420).any_cell());
    EXPECT_FALSE(Bitboard::cell(511).any_cell());
}

TEST(BitboardContains, AnswersForBoardPositionsAndFaultsBeyond) {
    for (unsigned p = 0; p < POSITION_COUNT; ++p) EXPECT_EQ(VALID_CELLS.contains(p), p % ROW_STRIDE != 20) << p;
    EXPECT_FALSE(VALID_CELLS.contains(419));
    EXPECT_TRUE(Bitboard::cell(418).contains(418));
    EXPECT_FAULT(VALID_CELLS.contains(420), "Bitboard index 420 out of range [0, 419]");
    EXPECT_FAULT(Bitboard{}.contains(511), "Bitboard index 511 out of range [0, 419]");
    EXPECT_THROW((void)Bitboard::cell(512), InternalError);
}

TEST(BitboardTranslate, MovesByRowsAndColumnsWithinTheBoard) {
    EXPECT_EQ(Bitboard::cell(0).translate(19, 19), Bitboard::cell(418));
    for (unsigned dy = 0; dy < BOARD_SIDE; ++dy)
        for (unsigned dx = 0; dx < BOARD_SIDE; ++dx)
            ASSERT_EQ(Bitboard::cell(0).translate(dx, dy), Bitboard::cell(position(dy, dx)));
    EXPECT_EQ(at({{0, 0}, {1, 1}}).translate(3, 2), at({{2, 3}, {3, 4}}));
    EXPECT_FAULT(Bitboard::cell(0).translate(20, 0), "Invalid translation of (0,0) to (20,0)");
    EXPECT_FAULT(Bitboard::cell(0).translate(0, 20), "Invalid translation of (0,0) to (0,20)");
    EXPECT_FAULT(Bitboard{}.translate(25, 21), "Invalid translation of (0,0) to (25,21)");
}

TEST(BitboardRotate, TablesArePermutationsAndInverses) {
    for (const auto* table : {&ROTATE_CW, &ROTATE_CCW}) {
        std::vector<unsigned> sorted(table->begin(), table->end());
        std::sort(sorted.begin(), sorted.end());
        std::vector<unsigned> all(POSITION_COUNT);
        std::iota(all.begin(), all.end(), 0u);
        EXPECT_EQ(sorted, all);
    }
    for (unsigned p = 0; p < POSITION_COUNT; ++p) {
        EXPECT_EQ(ROTATE_CCW[ROTATE_CW[p]], p);
        EXPECT_EQ(ROTATE_CW[ROTATE_CCW[p]], p);
        if (p % ROW_STRIDE == 20) {
            EXPECT_EQ(ROTATE_CW[p], p);
        }
    }
    EXPECT_EQ((std::vector<unsigned>(ROTATE_CW.begin(), ROTATE_CW.begin() + 4)),
              (std::vector<unsigned>{19, 40, 61, 82}));
    EXPECT_EQ((std::vector<unsigned>(ROTATE_CCW.begin(), ROTATE_CCW.begin() + 4)),
              (std::vector<unsigned>{399, 378, 357, 336}));
}

TEST(BitboardRotate, QuarterTurnsMoveCornersClockwise) {
    EXPECT_EQ(Bitboard::cell(0).permute(ROTATE_CW), Bitboard::cell(19));
    EXPECT_EQ(Bitboard::cell(19).permute(ROTATE_CW), Bitboard::cell(418));
    EXPECT_EQ(Bitboard::cell(418).permute(ROTATE_CW), Bitboard::cell(399));
    EXPECT_EQ(Bitboard::cell(399).permute(ROTATE_CW), Bitboard::cell(0));
    // The horizontal domino in the top-left corner turns upright in the top-right corner.
    EXPECT_EQ(at({{0, 0}, {0, 1}}).permute(ROTATE_CW), at({{0, 19}, {1, 19}}));
    EXPECT_EQ(at({{0, 0}, {0, 1}}).permute(ROTATE_CCW), at({{19, 0}, {18, 0}}));
    EXPECT_TRUE(Bitboard{}.permute(ROTATE_CW).is_empty());
    EXPECT_EQ(VALID_CELLS.permute(ROTATE_CW), VALID_CELLS);
    EXPECT_EQ(VALID_CELLS.permute(ROTATE_CCW), VALID_CELLS);
}

TEST(BitboardRotate, FourTurnsAreTheIdentityAndCcwUndoesCw) {
    Rng rng(11);
    for (int i = 0; i < 50; ++i) {
        const Bitboard b = random_board_below_420(rng);
        const Bitboard cw = b.permute(ROTATE_CW);
        EXPECT_EQ(cw.count(), b.count());
        EXPECT_EQ(cw.permute(ROTATE_CCW), b);
        EXPECT_EQ(cw.permute(ROTATE_CW).permute(ROTATE_CW).permute(ROTATE_CW), b);
        EXPECT_EQ(b.permute(ROTATE_CCW).permute(ROTATE_CCW).permute(ROTATE_CCW).permute(ROTATE_CCW), b);
        EXPECT_EQ(cw.permute(ROTATE_CW), b.permute(ROTATE_CCW).permute(ROTATE_CCW));
        EXPECT_EQ((b & VALID_CELLS).permute(ROTATE_CW), cw & VALID_CELLS);
    }
}

TEST(BitboardRotate, FaultsOnPositionsOutsideTheTable) {
    EXPECT_THROW((void)Bitboard::cell(420).permute(ROTATE_CW), InternalError);
    EXPECT_THROW((void)(VALID_CELLS | Bitboard::cell(511)).permute(ROTATE_CCW), InternalError);
    PositionTable bad{};
    bad[0] = 600;
    EXPECT_THROW((void)Bitboard::cell(0).permute(bad), InternalError);
}

}  // namespace
}  // namespace tavrin
