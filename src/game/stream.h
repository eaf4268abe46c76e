// The engine's one generator: splitmix64, and the seeded stream of values the agents, the nets,
// the search and the batched engine draw from. It sits below all of them (and below the game
// value, whose cell keys it seeds), so none needs another's header for it.
#pragma once

#include <cstdint>

namespace tavrin {

// splitmix64: one step of a small, fast generator whose sequence is the same on every platform
// (the standard distributions are not). Seeds the cell keys, and the engine's tests and benchmarks.
constexpr std::uint64_t splitmix64_mix(std::uint64_t z) noexcept {  // its output function, a bijection
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}
constexpr std::uint64_t splitmix64(std::uint64_t& state) noexcept {
    return splitmix64_mix(state += 0x9e3779b97f4a7c15ull);
}

// A seeded stream of 64-bit values (splitmix64). The batched engine keeps one per game, so that no
// result depends on which thread served the game.
struct Stream {
    std::uint64_t state = 0;
    std::uint64_t next() noexcept { return splitmix64(state); }
    // A rank in [0, n), n > 0: next() % n. The bias, below n / 2^64, is far beneath anything a
    // test or a learner could see.
    std::uint64_t below(std::uint64_t n) noexcept { return next() % n; }
    // The stream of game `game` of a run seeded with `seed`. Hashing both places each game's
    // stream at an unrelated point of the cycle; adding the index alone would make game i + 1's
    // stream game i's shifted by one draw.
    static Stream for_game(std::uint64_t seed, std::uint64_t game) noexcept {
        return Stream{splitmix64_mix(splitmix64_mix(seed) ^ splitmix64_mix(game + 0x632be59bd9b4e019ull))};
    }
};

}  // namespace tavrin
