// The batched engine on its own, without Python: a sample and a step of 256 games per iteration,
// for each output mode, on one and two threads. Plies are counted per game stepped (a pass is one
// too, rare enough not to matter here); the rate is per second of wall time, as a training loop
// sees it, with the CPU time of the calling thread only in the table's CPU column.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "game/batch/vector_games.h"

namespace tavrin::batch {
namespace {

constexpr std::size_t GAMES = 256;

void BM_VectorStepSample(benchmark::State& state, ObservationMode mode, bool mask) {
    Config c;
    c.num_games = GAMES;
    c.threads = static_cast<std::size_t>(state.range(0));
    c.observation = mode;
    c.mask = mask;
    VectorGames v(c);
    v.reset(0);
    std::vector<std::int32_t> actions(GAMES);
    // Past the first plies, where every game looks alike.
    for (int ply = 0; ply < 40; ++ply) {
        v.sample_actions(Policy::Random, actions);
        if (v.step(actions)) std::abort();
    }
    for (auto _ : state) {
        v.sample_actions(Policy::Random, actions);
        if (v.step(actions)) std::abort();
    }
    state.counters["plies/s"] = benchmark::Counter(static_cast<double>(state.iterations() * GAMES), benchmark::Counter::kIsRate);
}

BENCHMARK_CAPTURE(BM_VectorStepSample, full, ObservationMode::Full, true)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_VectorStepSample, none_mask, ObservationMode::None, true)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_VectorStepSample, none, ObservationMode::None, false)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tavrin::batch
