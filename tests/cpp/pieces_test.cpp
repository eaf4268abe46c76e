#include "game/pieces/pieces.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <set>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "test_util.h"

namespace tavrin {
namespace {

using test::at;
using test::of_positions;
using test::positions_of;

// The catalogue written out by hand: each orientation's bounding box, rows top first separated by
// '/', '#' filled. The order decides the orientation numbers and hence every action index.
struct KindPictures {
    std::string_view name;
    std::vector<std::string_view> pictures;
};

const std::vector<KindPictures> CATALOGUE = {
    {"I1", {"#"}},
    {"I2", {"##", "#/#"}},
    {"V3", {"##/#.", "#./##", ".#/##", "##/.#"}},
    {"I3", {"###", "#/#/#"}},
    {"T4", {".#./###", "#./##/#.", "###/.#.", ".#/##/.#"}},
    {"O", {"##/##"}},
    {"L4", {"#../###", "###/#..", "#./#./##", "##/#./#.", "##/.#/.#", "###/..#", "..#/###", ".#/.#/##"}},
    {"I4", {"####", "#/#/#/#"}},
    {"Z4", {"#./##/.#", ".#/##/#.", ".##/##.", "##./.##"}},
    {"F", {".#./###/#..", "#../###/.#.", "##./.##/.#.", ".##/##./.#.", "..#/###/.#.", ".#./##./.##", ".#./###/..#",
           ".#./.##/##."}},
    {"X", {".#./###/.#."}},
    {"P", {"##/##/#.", "##/##/.#", "#./##/##", ".#/##/##", "###/.##", ".##/###", "###/##.", "##./###"}},
    {"W", {"#../##./.##", ".##/##./#..", "..#/.##/##.", "##./.##/..#"}},
    {"Z5", {"#../###/..#", "..#/###/#..", ".##/.#./##.", "##./.#./.##"}},
    {"Y", {"####/.#..", ".#../####", "####/..#.", "..#./####", "#./#./##/#.", ".#/.#/##/.#", "#./##/#./#.",
           ".#/##/.#/.#"}},
    {"L5", {"####/#...", "#.../####", "####/...#", "...#/####", "#./#./#./##", ".#/.#/.#/##", "##/#./#./#.",
            "##/.#/.#/.#"}},
    {"U", {"#.#/###", "###/#.#", "##/#./##", "##/.#/##"}},
    {"T5", {".#./.#./###", "#../###/#..", "###/.#./.#.", "..#/###/..#"}},
    {"V5", {"###/#../#..", "#../#../###", "..#/..#/###", "###/..#/..#"}},
    {"N", {".###/##..", "##../.###", "###./..##", "..##/###.", "#./#./##/.#", ".#/.#/##/#.", ".#/##/#./#.",
           "#./##/.#/.#"}},
    {"I5", {"#####", "#/#/#/#/#"}},
};

// Translations per kind: every orientation at every offset where it fits.
constexpr std::array<std::size_t, KIND_COUNT> PLACEMENTS = {400,  760,  1444, 720,  1368, 361,  2736,
                                                            680,  1368, 2592, 324,  2736, 1296, 1296,
                                                            2584, 2584, 1368, 1296, 1296, 2584, 640};

std::vector<std::string_view> rows_of(std::string_view picture) {
    std::vector<std::string_view> rows;
    for (std::size_t start = 0;;) {
        const std::size_t slash = picture.find('/', start);
        rows.push_back(picture.substr(start, slash - start));
        if (slash == std::string_view::npos) return rows;
        start = slash + 1;
    }
}

using Shape = std::set<std::pair<int, int>>;

Shape shape_of(std::string_view picture) {
    Shape s;
    const auto rows = rows_of(picture);
    for (int r = 0; r < static_cast<int>(rows.size()); ++r)
        for (int c = 0; c < static_cast<int>(rows[r].size()); ++c)
            if (rows[r][c] == '#') s.insert({r, c});
    return s;
}

Bitboard board_of(const Shape& s) {
    Bitboard b;
    for (auto [r, c] : s) b |= Bitboard::cell(position(r, c));
    return b;
}

// The shape moved so that its bounding box starts at (0, 0).
Shape normalised(const Shape& s) {
    int r0 = 99, c0 = 99;
    for (auto [r, c] : s) r0 = std::min(r0, r), c0 = std::min(c0, c);
    Shape out;
    for (auto [r, c] : s) out.insert({r - r0, c - c0});
    return out;
}

// The distinct images of a shape under the four turns and their mirror images.
std::set<Shape> symmetries(const Shape& s) {
    std::set<Shape> out;
    Shape cur = s;
    for (int turn = 0; turn < 4; ++turn) {
        Shape turned, mirrored;
        for (auto [r, c] : cur) turned.insert({c, -r});
        cur = normalised(turned);
        for (auto [r, c] : cur) mirrored.insert({r, -c});
        out.insert(cur);
        out.insert(normalised(mirrored));
    }
    return out;
}

const std::vector<Piece>& catalogue() {
    static const std::vector<Piece> pieces = generate();
    return pieces;
}

TEST(PieceType, IndexesCodesNamesAndCellCounts) {
    unsigned cells = 0;
    for (unsigned i = 0; i < KIND_COUNT; ++i) {
        const PieceType k = PieceType::from_index(i);
        EXPECT_EQ(k.index(), i);
        EXPECT_EQ(k.name(), CATALOGUE[i].name);
        EXPECT_EQ(shape_of(CATALOGUE[i].pictures[0]).size(), k.cells()) << k;
        EXPECT_EQ(k.code(), 6 * i - 5 * k.cells() + 6) << k;
        std::ostringstream os;
        os << k;
        EXPECT_EQ(os.str(), CATALOGUE[i].name);
        cells += k.cells();
    }
    EXPECT_EQ(cells, 89u);
    EXPECT_EQ(PieceType::from_code(35)->index(), 9u);
    EXPECT_EQ(PieceType::from_code(101)->index(), 20u);
    EXPECT_EQ(PieceType::from_code(35), PieceType::F);
    EXPECT_THROW((void)PieceType::from_index(KIND_COUNT), InternalError);

    std::vector<unsigned> codes;
    for (unsigned byte = 0; byte < 256; ++byte)
        if (PieceType::from_code(static_cast<std::uint8_t>(byte))) codes.push_back(byte);
    EXPECT_EQ(codes, (std::vector<unsigned>{1, 2, 3, 9, 10, 16, 22, 28, 34, 35, 41, 47, 53, 59, 65, 71, 77, 83, 89,
                                            95, 101}));
}

TEST(Catalogue, HasTheOrientationsOfEveryKindInOrder) {
    const auto& pieces = catalogue();
    ASSERT_EQ(pieces.size(), ORIENTATION_COUNT);
    std::size_t o = 0;
    for (unsigned k = 0; k < KIND_COUNT; ++k) {
        for (std::size_t v = 0; v < CATALOGUE[k].pictures.size(); ++v, ++o) {
            ASSERT_LT(o, pieces.size());
            EXPECT_EQ(pieces[o].kind, PieceType::from_index(k)) << "orientation " << o;
            EXPECT_EQ(pieces[o].variant, v) << "orientation " << o;
        }
    }
    EXPECT_EQ(o, ORIENTATION_COUNT);
}

TEST(Catalogue, ShapesAndRowRunsMatchThePictures) {
    const auto& pieces = catalogue();
    std::size_t o = 0;
    for (const auto& kind : CATALOGUE) {
        for (std::string_view picture : kind.pictures) {
            const Piece& piece = pieces.at(o);
            const auto rows = rows_of(picture);
            SCOPED_TRACE(::testing::Message() << "orientation " << o << " " << picture);
            EXPECT_EQ(piece.shape(), board_of(shape_of(picture)));
            EXPECT_EQ(piece.max_dy, 20 - rows.size());
            EXPECT_EQ(piece.max_dx, 20 - rows[0].size());
            ASSERT_EQ(piece.rows.size(), rows.size());
            for (std::size_t r = 0; r < rows.size(); ++r) {
                const std::string_view row = rows[r];
                const std::size_t first = row.find('#'), last = row.rfind('#');
                const std::size_t inner_gap = row.substr(first, last - first).find('.');
                const RowRun& run = piece.rows[r];
                EXPECT_EQ(run.offset, first);
                EXPECT_EQ(run.len, static_cast<std::size_t>(std::count(row.begin(), row.end(), '#')));
                if (inner_gap == std::string_view::npos) {
                    EXPECT_FALSE(run.hole.has_value());
                } else {
                    EXPECT_EQ(run.hole, first + inner_gap);
                }
            }
            ++o;
        }
    }
}

TEST(Catalogue, EachKindHasExactlyTheDistinctTurnsAndMirrorImagesOfItsShape) {
    const auto& pieces = catalogue();
    for (unsigned k = 0; k < KIND_COUNT; ++k) {
        std::set<Bitboard, bool (*)(const Bitboard&, const Bitboard&)> seen(
            [](const Bitboard& a, const Bitboard& b) { return a.image() < b.image(); });
        std::set<Shape> shapes;
        for (const Piece& piece : pieces) {
            if (piece.kind != PieceType::from_index(k)) continue;
            EXPECT_TRUE(seen.insert(piece.shape()).second) << "repeated orientation of " << piece.kind;
            Shape s;
            for (unsigned p : piece.shape().ones())
                s.insert({static_cast<int>(p / ROW_STRIDE), static_cast<int>(p % ROW_STRIDE)});
            shapes.insert(s);
        }
        EXPECT_EQ(shapes, symmetries(shape_of(CATALOGUE[k].pictures[0]))) << PieceType::from_index(k);
    }
}

TEST(Catalogue, SortingAShuffledCopyGivesTheCatalogueOrderBack) {
    std::vector<Piece> shuffled = catalogue();
    std::mt19937_64 rng(3);
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    std::stable_sort(shuffled.begin(), shuffled.end());
    ASSERT_EQ(shuffled.size(), catalogue().size());
    for (std::size_t o = 0; o < shuffled.size(); ++o) {
        EXPECT_EQ(shuffled[o], catalogue()[o]);
        EXPECT_EQ(shuffled[o].shape(), catalogue()[o].shape()) << "orientation " << o;
    }
    // Kinds order by code, not by name or size; variants within a kind.
    EXPECT_LT(catalogue()[3], catalogue()[7]);  // V3 (code 3) before I3 (code 9)
    EXPECT_LT(catalogue()[14], catalogue()[15]);
    EXPECT_FALSE(catalogue()[15] < catalogue()[14]);
}

TEST(Translations, EveryOrientationAtEveryOffsetThatFits) {
    std::array<std::size_t, KIND_COUNT> per_kind{};
    std::size_t total = 0;
    for (const Piece& piece : catalogue()) {
        const auto translations = piece.build_translations();
        ASSERT_EQ(translations.size(), (piece.max_dy + 1) * (piece.max_dx + 1));
        std::size_t previous = 0;
        for (std::size_t i = 0; i < translations.size(); ++i) {
            const auto& [anchor, cells] = translations[i];
            if (i > 0) {
                EXPECT_GT(anchor, previous);
            }
            previous = anchor;
            ASSERT_TRUE(cells.and_not(VALID_CELLS).is_empty()) << piece.kind << " at anchor " << anchor;
            ASSERT_EQ(cells.count(), piece.kind.cells());
            // The anchor is the top-left corner of the placed bounding box, numbered row × 20 + column.
            unsigned top = 99, left = 99;
            for (unsigned p : cells.ones())
                top = std::min(top, p / ROW_STRIDE), left = std::min(left, p % ROW_STRIDE);
            ASSERT_EQ(anchor, top * BOARD_SIDE + left) << piece.kind;
            ASSERT_EQ(cells, piece.shape().translate(left, top));
        }
        per_kind[piece.kind.index()] += translations.size();
        total += translations.size();
    }
    EXPECT_EQ(total, 30433u);
    EXPECT_EQ(per_kind, PLACEMENTS);
}

TEST(Translations, SingleCellSquareAndLongBar) {
    const auto i1 = catalogue()[0].build_translations();
    ASSERT_EQ(i1.size(), 400u);
    for (const auto& [anchor, cells] : i1) EXPECT_EQ(cells, Bitboard::cell((anchor / 20) * 21 + anchor % 20));

    const auto o = catalogue()[13].build_translations();
    ASSERT_EQ(o.size(), 361u);
    std::vector<std::size_t> anchors;
    for (std::size_t r = 0; r < 19; ++r)
        for (std::size_t c = 0; c < 19; ++c) anchors.push_back(r * 20 + c);
    std::vector<std::size_t> got;
    for (const auto& t : o) got.push_back(t.first);
    EXPECT_EQ(got, anchors);

    const Piece& bar = catalogue()[89];
    EXPECT_EQ(bar.max_dy, 19u);
    EXPECT_EQ(bar.max_dx, 15u);
    const auto bars = bar.build_translations();
    ASSERT_EQ(bars.size(), 320u);
    EXPECT_EQ(bars.back().first, 395u);
    EXPECT_EQ(bars.back().second, of_positions({414, 415, 416, 417, 418}));
}

TEST(Translations, TheRowWithAHoleLeavesItsMiddleCellEmpty) {
    EXPECT_EQ(catalogue()[69].build_translations().front().second, of_positions({0, 2, 21, 22, 23}));
    EXPECT_EQ(catalogue()[70].build_translations().front().second, of_positions({0, 1, 2, 21, 23}));
    // Moved to the far corner the hole still stays one cell wide.
    EXPECT_EQ(catalogue()[69].build_translations().back().second,
              at({{18, 17}, {18, 19}, {19, 17}, {19, 18}, {19, 19}}));
}

}  // namespace
}  // namespace tavrin
