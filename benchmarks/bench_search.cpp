// The search agent's playout rates from the opening position, on one thread: complete playouts
// by each engine policy alone, then inside a search (selection, widening, the node copies and
// the backups included). Items per second are playouts per CPU second. The win share against
// reach agents is measured by benchmarks/bench_mcts.py.
#include <benchmark/benchmark.h>

#include <string>

#include "game/agents/policies.h"
#include "game/game.h"
#include "game/rules.h"
#include "game/search/mcts.h"

namespace tavrin {
namespace {

void BM_Playout(benchmark::State& state) {
    const auto policy = static_cast<Policy>(state.range(0));
    const Game start = new_game();
    Stream stream{1};
    for (auto _ : state) {
        Game game = start;
        for (;;) {
            skip_passes(game);
            if (is_over(game)) break;
            const auto g = pick(game, policy, stream);
            if (step(game, std::size_t{*g})) state.SkipWithError("a pick was refused");
        }
        benchmark::DoNotOptimize(game);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(std::string(POLICY_NAMES[static_cast<std::size_t>(policy)]));
}
BENCHMARK(BM_Playout)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

// Searches of 2,000 playouts from the opening, every placement searched.
void BM_SearchFromOpening(benchmark::State& state) {
    const search::SearchConfig config{.playouts = 2000, .rollout = static_cast<Policy>(state.range(0)), .opening = 0};
    const Game start = new_game();
    search::Searcher searcher;
    searcher.reserve(search::MAX_PLAYOUTS);
    Stream stream{2};
    std::int64_t playouts = 0;
    for (auto _ : state) playouts += searcher.search(start, config, stream).playouts;
    state.SetItemsProcessed(playouts);
    state.counters["arena_MB_at_max_budget"] = static_cast<double>(searcher.bytes()) / 1e6;
    state.SetLabel(std::string(POLICY_NAMES[static_cast<std::size_t>(config.rollout)]));
}
BENCHMARK(BM_SearchFromOpening)->DenseRange(0, 2, 2)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace
}  // namespace tavrin
