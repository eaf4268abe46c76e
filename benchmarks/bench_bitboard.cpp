// Board-level costs: the neighbour shifts the rules are built from, and a whole-board quarter turn.
#include <benchmark/benchmark.h>

#include "game/bitboard/bitboard.h"

namespace tavrin {
namespace {

// A board with cells spread over every word, like a late-game position.
Bitboard busy_board() {
    Bitboard b;
    for (unsigned p = 0; p < POSITION_COUNT; p += 3) b |= Bitboard::cell(p);
    return b & VALID_CELLS;
}

template <unsigned N>
void BM_ShiftLeft(benchmark::State& state) {
    Bitboard b = busy_board();
    for (auto _ : state) {
        benchmark::DoNotOptimize(b);
        Bitboard r = b << N;
        benchmark::DoNotOptimize(r);
    }
}

template <unsigned N>
void BM_ShiftRight(benchmark::State& state) {
    Bitboard b = busy_board();
    for (auto _ : state) {
        benchmark::DoNotOptimize(b);
        Bitboard r = b >> N;
        benchmark::DoNotOptimize(r);
    }
}

BENCHMARK_TEMPLATE(BM_ShiftLeft, 1);
BENCHMARK_TEMPLATE(BM_ShiftLeft, 20);
BENCHMARK_TEMPLATE(BM_ShiftLeft, 21);
BENCHMARK_TEMPLATE(BM_ShiftLeft, 22);
BENCHMARK_TEMPLATE(BM_ShiftRight, 1);
BENCHMARK_TEMPLATE(BM_ShiftRight, 20);
BENCHMARK_TEMPLATE(BM_ShiftRight, 21);
BENCHMARK_TEMPLATE(BM_ShiftRight, 22);

// The edge and corner neighbourhoods: four shifts, four ORs and a mask each.
void BM_OrthogonalGrow(benchmark::State& state) {
    Bitboard b = busy_board();
    for (auto _ : state) {
        benchmark::DoNotOptimize(b);
        Bitboard r = orthogonal_grow(b);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_OrthogonalGrow);

void BM_DiagonalGrow(benchmark::State& state) {
    Bitboard b = busy_board();
    for (auto _ : state) {
        benchmark::DoNotOptimize(b);
        Bitboard r = diagonal_grow(b);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_DiagonalGrow);

// A quarter turn of all 400 cells: the worst case of turning a board into an observer's frame.
void BM_PermuteFullBoard(benchmark::State& state) {
    Bitboard b = VALID_CELLS;
    for (auto _ : state) {
        benchmark::DoNotOptimize(b);
        Bitboard r = b.permute(ROTATE_CW);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_PermuteFullBoard);

}  // namespace
}  // namespace tavrin
