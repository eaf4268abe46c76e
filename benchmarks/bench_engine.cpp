// Engine costs on the paths a training loop takes, and a bench signature: a fixed set of seeded
// games played through observe and step, printing their speed and a checksum of their final states
// so that a speed-up which changes behaviour shows.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "game/actions/actions.h"
#include "game/game.h"
#include "game/moves.h"
#include "game/observation.h"
#include "game/rules.h"
#include "game/state_bytes.h"

namespace tavrin {
namespace {

class Rng {
 public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(splitmix64(state_) % n); }

 private:
    std::uint64_t state_;
};

// One random turn of the agent to move; a done agent passes.
void random_turn(Game& g, Rng& rng, Vec<std::uint16_t>& moves) {
    const std::size_t a = g.agent_selection;
    std::optional<std::size_t> action;
    if (!g.agents[a].done) {
        legal_actions(g, a, moves);
        if (moves.empty()) std::abort();  // not done, yet nothing to play: the engine is broken
        action = g.action_set->grid_index(moves[rng.below(moves.size())]);
    }
    if (step(g, action)) std::abort();  // a listed move refused: the benchmark would measure nonsense
}

// A position from the middle of a game: about ten pieces each, plenty of corners and moves.
Game mid_game() {
    Game g = new_game();
    Rng rng(2024);
    Vec<std::uint16_t> moves;
    while (ply(g) < 40 && !is_over(g)) random_turn(g, rng, moves);
    return g;
}

void BM_ActionSetBuild(benchmark::State& state) {
    for (auto _ : state) {
        ActionSet set(generate());
        benchmark::DoNotOptimize(set.covering_actions.data());
    }
}
BENCHMARK(BM_ActionSetBuild)->Unit(benchmark::kMillisecond);

void BM_PlacementMasks(benchmark::State& state) {
    const Game g = mid_game();
    std::size_t a = 0;
    for (auto _ : state) {
        PlacementMasks m = placement_masks(g, a++ & 3);
        benchmark::DoNotOptimize(m);
    }
}
BENCHMARK(BM_PlacementMasks);

// A successful step: placement tests, apply, hash, and update_done over all four agents.
void BM_StepWithUpdateDone(benchmark::State& state) {
    const Game g = mid_game();
    Vec<std::uint16_t> moves;
    legal_actions(g, g.agent_selection, moves);
    std::vector<std::size_t> grid;
    for (std::uint16_t n : moves) grid.push_back(g.action_set->grid_index(n));
    std::size_t i = 0;
    for (auto _ : state) {
        Game c = g;
        auto err = step(c, grid[i++ % grid.size()]);
        benchmark::DoNotOptimize(err);
        benchmark::DoNotOptimize(c);
    }
}
BENCHMARK(BM_StepWithUpdateDone);

void BM_UpdateDone(benchmark::State& state) {
    const Game g = mid_game();
    for (auto _ : state) {
        Game c = g;
        update_done(c);
        benchmark::DoNotOptimize(c);
    }
}
BENCHMARK(BM_UpdateDone);

void BM_Observe(benchmark::State& state) {
    const Game g = mid_game();
    for (auto _ : state) {
        Observation obs = observe(g, g.agent_selection);
        benchmark::DoNotOptimize(obs);
    }
}
BENCHMARK(BM_Observe);

void BM_ObserveWithMoves(benchmark::State& state) {
    const Game g = mid_game();
    Vec<std::uint16_t> moves;
    for (auto _ : state) {
        observed_moves(g, observe(g, g.agent_selection), moves);
        benchmark::DoNotOptimize(moves.data());
    }
    state.counters["moves"] = static_cast<double>(moves.size());
}
BENCHMARK(BM_ObserveWithMoves);

// What the Python observe method pays in the engine: zeroed buffers (as a fresh allocation would
// be), the planes and the action mask.
void BM_WriteObservation(benchmark::State& state) {
    const Game g = mid_game();
    auto out = std::make_unique<ObservationBytes>();
    for (auto _ : state) {
        std::memset(out.get(), 0, sizeof(ObservationBytes));
        write_observation(g, g.agent_selection, *out);
        benchmark::DoNotOptimize(out->action_mask);
    }
}
BENCHMARK(BM_WriteObservation);

void BM_StateBytesRoundTrip(benchmark::State& state) {
    const Game g = mid_game();
    for (auto _ : state) {
        const StateBytes s = to_bytes(g);
        auto back = from_bytes(s.data(), s.size());
        benchmark::DoNotOptimize(back);
    }
}
BENCHMARK(BM_StateBytesRoundTrip);

// Whole games of random play through the engine alone: the mover's full legal list, a uniform
// pick, then step with the done test; a done agent passes.
void self_play_games(benchmark::State& state) {
    Vec<std::uint16_t> moves;
    std::uint64_t seed = 0, plies = 0;
    for (auto _ : state) {
        Game g = new_game();
        Rng rng(seed++);
        while (!is_over(g)) random_turn(g, rng, moves);
        plies += ply(g);
        benchmark::DoNotOptimize(g);
    }
    state.counters["games/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["plies/s"] = benchmark::Counter(static_cast<double>(plies), benchmark::Counter::kIsRate);
}

// On the kernel chosen for this CPU (or by TAVRIN_KERNEL).
void BM_SelfPlayGame(benchmark::State& state) { self_play_games(state); }
BENCHMARK(BM_SelfPlayGame)->Unit(benchmark::kMicrosecond);

// The same games with the draw made from the anchor boards, no list built.
void BM_SelfPlayGameNoList(benchmark::State& state) {
    std::uint64_t seed = 0, plies = 0;
    for (auto _ : state) {
        Game g = new_game();
        std::uint64_t rng = seed++;
        while (!is_over(g)) {
            const auto action = random_legal_action(g, g.agent_selection, splitmix64(rng));
            if (step(g, action)) std::abort();
        }
        plies += ply(g);
        benchmark::DoNotOptimize(g);
    }
    state.counters["games/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["plies/s"] = benchmark::Counter(static_cast<double>(plies), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SelfPlayGameNoList)->Unit(benchmark::kMicrosecond);

// One self-play benchmark per kernel this CPU runs, registered from main.
void register_kernel_benchmarks() {
    for (const Kernel* k : all_kernels()) {
        if (!kernel_supported(*k)) continue;
        const std::string name = std::string("BM_SelfPlayGame/kernel:") + k->name;
        benchmark::RegisterBenchmark(name.c_str(), [k](benchmark::State& state) {
            const Kernel& before = active_kernel();
            select_kernel(*k);
            self_play_games(state);
            select_kernel(before);
        })->Unit(benchmark::kMicrosecond);
    }
}

// The bench signature: the games a training loop would play, observe and step at every turn,
// the move drawn from the action mask in grid order.
constexpr int SIGNATURE_GAMES = 200;

void print_signature() {
    auto obs = std::make_unique<ObservationBytes>();
    std::uint64_t checksum = 0xcbf29ce484222325ull;  // FNV-1a over every final state
    std::uint64_t plies = 0, steps = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int game = 0; game < SIGNATURE_GAMES; ++game) {
        Game g = new_game();
        Rng rng(static_cast<std::uint64_t>(game));
        std::vector<std::size_t> legal;
        while (!is_over(g)) {
            const std::size_t a = g.agent_selection;
            std::memset(obs.get(), 0, sizeof(ObservationBytes));
            write_observation(g, a, *obs);
            legal.clear();
            for (std::size_t i = 0; i < GRID_SIZE; ++i)
                if (obs->action_mask[i]) legal.push_back(i);
            std::optional<std::size_t> action;
            if (!legal.empty()) action = legal[rng.below(legal.size())];
            if (step(g, action)) {
                std::fprintf(stderr, "signature game %d: a masked action was refused\n", game);
                std::exit(1);
            }
            ++steps;
        }
        plies += ply(g);
        for (std::uint8_t byte : to_bytes(g)) checksum = (checksum ^ byte) * 0x100000001b3ull;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("bench signature: %d games, %llu plies, %llu steps, %.0f plies/s, %.0f steps/s, checksum %016llx\n",
                SIGNATURE_GAMES, static_cast<unsigned long long>(plies), static_cast<unsigned long long>(steps),
                static_cast<double>(plies) / seconds, static_cast<double>(steps) / seconds,
                static_cast<unsigned long long>(checksum));
}

}  // namespace
}  // namespace tavrin

// Runs the benchmarks (five repetitions reported as mean, median and spread unless the command
// line says otherwise), then the signature. `tavrin_bench signature` prints the signature alone.
int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    static char repetitions[] = "--benchmark_repetitions=5";
    static char aggregates[] = "--benchmark_report_aggregates_only=true";
    bool chosen = false;
    for (int i = 1; i < argc; ++i) chosen |= std::string_view(argv[i]).starts_with("--benchmark_repetitions");
    if (!chosen) args.insert(args.begin() + 1, {repetitions, aggregates});
    int n = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&n, args.data());
    tavrin::register_kernel_benchmarks();
    const bool signature_only = n == 2 && std::string_view(args[1]) == "signature";
    if (!signature_only) {
        if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    tavrin::print_signature();
    return 0;
}
