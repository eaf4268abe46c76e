#include "game/pieces/pieces.h"

#include <algorithm>
#include <string_view>

namespace tavrin {
namespace {

// Each kind's orientations in catalogue order, as bounding-box pictures: rows top first, separated
// by '/', '#' filled and '.' empty. The order within a kind fixes the orientation numbers.
struct KindShapes {
    PieceType kind;
    std::initializer_list<std::string_view> pictures;
};

const KindShapes CATALOGUE[] = {
    {PieceType::I1, {"#"}},
    {PieceType::I2, {"##", "#/#"}},
    {PieceType::V3, {"##/#.", "#./##", ".#/##", "##/.#"}},
    {PieceType::I3, {"###", "#/#/#"}},
    {PieceType::T4, {".#./###", "#./##/#.", "###/.#.", ".#/##/.#"}},
    {PieceType::O, {"##/##"}},
    {PieceType::L4, {"#../###", "###/#..", "#./#./##", "##/#./#.", "##/.#/.#", "###/..#", "..#/###", ".#/.#/##"}},
    {PieceType::I4, {"####", "#/#/#/#"}},
    {PieceType::Z4, {"#./##/.#", ".#/##/#.", ".##/##.", "##./.##"}},
    {PieceType::F,
     {".#./###/#..", "#../###/.#.", "##./.##/.#.", ".##/##./.#.", "..#/###/.#.", ".#./##./.##", ".#./###/..#",
      ".#./.##/##."}},
    {PieceType::X, {".#./###/.#."}},
    {PieceType::P, {"##/##/#.", "##/##/.#", "#./##/##", ".#/##/##", "###/.##", ".##/###", "###/##.", "##./###"}},
    {PieceType::W, {"#../##./.##", ".##/##./#..", "..#/.##/##.", "##./.##/..#"}},
    {PieceType::Z5, {"#../###/..#", "..#/###/#..", ".##/.#./##.", "##./.#./.##"}},
    {PieceType::Y,
     {"####/.#..", ".#../####", "####/..#.", "..#./####", "#./#./##/#.", ".#/.#/##/.#", "#./##/#./#.", ".#/##/.#/.#"}},
    {PieceType::L5,
     {"####/#...", "#.../####", "####/...#", "...#/####", "#./#./#./##", ".#/.#/.#/##", "##/#./#./#.", "##/.#/.#/.#"}},
    {PieceType::U, {"#.#/###", "###/#.#", "##/#./##", "##/.#/##"}},
    {PieceType::T5, {".#./.#./###", "#../###/#..", "###/.#./.#.", "..#/###/..#"}},
    {PieceType::V5, {"###/#../#..", "#../#../###", "..#/..#/###", "###/..#/..#"}},
    {PieceType::N,
     {".###/##..", "##../.###", "###./..##", "..##/###.", "#./#./##/.#", ".#/.#/##/#.", ".#/##/#./#.", "#./##/.#/.#"}},
    {PieceType::I5, {"#####", "#/#/#/#/#"}},
};

// One picture row as a run: leading empties, then filled cells with at most one empty cell inside.
RowRun parse_row(std::string_view row) {
    RowRun run;
    const std::size_t first = row.find('#');
    const std::size_t last = row.rfind('#');
    if (first == std::string_view::npos) fail("piece row without a filled cell");
    run.offset = first;
    for (std::size_t c = first; c <= last; ++c) {
        if (row[c] == '#') {
            ++run.len;
        } else if (run.hole) {
            fail("piece row with two holes");
        } else {
            run.hole = c;
        }
    }
    return run;
}

}  // namespace

Bitboard Piece::shape() const {
    Bitboard mask;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const RowRun& run = rows[r];
        for (std::size_t j = 0; j < run.len; ++j) {
            std::size_t c = run.offset + j;
            if (run.hole && c >= *run.hole) ++c;
            if (c >= BOARD_SIDE) fail("piece row reaches past column 20");
            mask |= Bitboard::cell(static_cast<unsigned>(r * ROW_STRIDE + c));
        }
    }
    return mask;
}

std::vector<std::pair<std::size_t, Bitboard>> Piece::build_translations() const {
    const Bitboard mask = shape();
    std::vector<std::pair<std::size_t, Bitboard>> out;
    out.reserve((max_dy + 1) * (max_dx + 1));
    for (std::size_t dy = 0; dy <= max_dy; ++dy)
        for (std::size_t dx = 0; dx <= max_dx; ++dx)
            out.emplace_back(dy * BOARD_SIDE + dx, mask.translate(static_cast<unsigned>(dx), static_cast<unsigned>(dy)));
    return out;
}

std::vector<Piece> generate() {
    std::vector<Piece> pieces;
    pieces.reserve(ORIENTATION_COUNT);
    for (const KindShapes& kind : CATALOGUE) {
        std::size_t variant = 0;
        for (std::string_view picture : kind.pictures) {
            Piece piece{kind.kind, variant++, {}, 0, 0};
            std::size_t width = 0;
            for (std::size_t start = 0; start <= picture.size();) {
                std::size_t end = picture.find('/', start);
                if (end == std::string_view::npos) end = picture.size();
                const std::string_view row = picture.substr(start, end - start);
                width = std::max(width, row.size());
                piece.rows.push_back(parse_row(row));
                start = end + 1;
            }
            piece.max_dy = BOARD_SIDE - piece.rows.size();
            piece.max_dx = BOARD_SIDE - width;
            pieces.push_back(std::move(piece));
        }
    }
    // The listing is already in order; sorting pins the order to the codes however it is written.
    std::stable_sort(pieces.begin(), pieces.end());
    return pieces;
}

}  // namespace tavrin
