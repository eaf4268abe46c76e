// The engine's net against a plain reference (double sums straight from torch's layouts) on
// positions from play, nearly full boards and agents with one piece left among them; every kernel
// bit for bit against the others; nets of other widths and depths; evaluators shared by nets.
#include "game/net/net.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "game/agents/policies.h"
#include "game/moves.h"
#include "game/observation.h"
#include "game/planes.h"
#include "game/rules.h"

namespace tavrin::net {
namespace {

// Random weights for a net of `shape`, in the loader's order, of a scale that keeps logits near
// those of a trained net (a few units).
std::vector<std::vector<float>> random_arrays(const Shape& shape, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<std::vector<float>> arrays;
    for (const std::size_t n : array_sizes(shape)) {
        std::normal_distribution<float> d(0.0f, n > 1000 ? 0.05f : 0.3f);
        std::vector<float> a(n);
        for (float& v : a) v = d(gen);
        arrays.push_back(std::move(a));
    }
    return arrays;
}

Net make_net(const Shape& shape, const std::vector<std::vector<float>>& arrays) {
    std::vector<std::span<const float>> views(arrays.begin(), arrays.end());
    return Net(shape, views);
}

// The forward pass as torch defines it, in double, from the arrays as stored.
struct Reference {
    Shape s;
    const std::vector<std::vector<float>>& a;

    std::vector<double> features(const std::uint8_t* board, const float* extras, std::vector<double>& e) const {
        const std::size_t c = s.channels, ins = BOARD_PLANES + 2;
        e.assign(c + ORIENTATIONS, 0.0);
        for (std::size_t o = 0; o < c + ORIENTATIONS; ++o) {
            double sum = a[1][o];
            for (std::size_t i = 0; i < EXTRAS; ++i) sum += double(a[0][o * EXTRAS + i]) * extras[i];
            e[o] = sum;
        }
        std::vector<double> x(ins * CELLS);
        for (std::size_t p = 0; p < BOARD_PLANES; ++p)
            for (std::size_t cell = 0; cell < CELLS; ++cell) x[p * CELLS + cell] = board[p * CELLS + cell];
        for (std::size_t cell = 0; cell < CELLS; ++cell) {
            x[BOARD_PLANES * CELLS + cell] = double(cell / 20) / 19.0;
            x[(BOARD_PLANES + 1) * CELLS + cell] = double(cell % 20) / 19.0;
        }
        const auto conv = [&](const std::vector<double>& in, std::size_t inputs, const std::vector<float>& w,
                              const std::vector<float>& b) {
            std::vector<double> out(c * CELLS);
            for (std::size_t o = 0; o < c; ++o)
                for (int r = 0; r < 20; ++r)
                    for (int col = 0; col < 20; ++col) {
                        double sum = b[o];
                        for (std::size_t i = 0; i < inputs; ++i)
                            for (int ky = 0; ky < 3; ++ky)
                                for (int kx = 0; kx < 3; ++kx) {
                                    const int y = r + ky - 1, xx = col + kx - 1;
                                    if (y < 0 || xx < 0 || y >= 20 || xx >= 20) continue;
                                    sum += w[((o * inputs + i) * 3 + ky) * 3 + kx] * in[i * CELLS + y * 20 + xx];
                                }
                        out[o * CELLS + r * 20 + col] = sum;
                    }
            return out;
        };
        std::vector<double> h = conv(x, ins, a[2], a[3]);
        for (std::size_t o = 0; o < c; ++o)
            for (std::size_t cell = 0; cell < CELLS; ++cell) h[o * CELLS + cell] = std::max(0.0, h[o * CELLS + cell] + e[o]);
        for (std::size_t layer = 1; layer < s.layers; ++layer) {
            const std::vector<double> y = conv(h, c, a[2 + 2 * layer], a[3 + 2 * layer]);
            for (std::size_t k = 0; k < h.size(); ++k) h[k] = std::max(0.0, h[k] + y[k]);
        }
        return h;  // [channel][cell]
    }

    double logit(const std::vector<double>& h, const std::vector<double>& e, std::uint32_t g) const {
        const std::size_t at = 2 + 2 * s.layers, o = g / CELLS, cell = g % CELLS;
        double sum = a[at + 1][o] + e[s.channels + o];
        for (std::size_t k = 0; k < s.channels; ++k) sum += double(a[at][o * s.channels + k]) * h[k * CELLS + cell];
        return sum;
    }

    double value(const std::vector<double>& h) const {
        const std::size_t at = 4 + 2 * s.layers, c = s.channels;
        std::vector<double> v(VALUE_PLANES * CELLS);
        for (std::size_t p = 0; p < VALUE_PLANES; ++p)
            for (std::size_t cell = 0; cell < CELLS; ++cell) {
                double sum = a[at + 1][p];
                for (std::size_t k = 0; k < c; ++k) sum += double(a[at][p * c + k]) * h[k * CELLS + cell];
                v[p * CELLS + cell] = std::max(0.0, sum);
            }
        double out = a[at + 5][0];
        for (std::size_t j = 0; j < s.hidden; ++j) {
            double sum = a[at + 3][j];
            for (std::size_t i = 0; i < v.size(); ++i) sum += double(a[at + 2][j * v.size() + i]) * v[i];
            out += a[at + 4][j] * std::max(0.0, sum);
        }
        return out;
    }
};

// The mover's planes and extras, as the batch's compact observation gives them.
void inputs_of(const Game& game, std::vector<std::uint8_t>& board, std::vector<float>& extras) {
    const Observation obs = observe(game, game.agent_selection);
    board.assign(BOARD_PLANES * CELLS, 0);
    for (std::size_t s = 0; s < AGENT_COUNT; ++s) {
        write_plane(obs.occupied[s], board.data() + s * CELLS);
        write_plane(obs.corners[s], board.data() + (4 + s) * CELLS);
        write_plane(obs.blocked[s], board.data() + (8 + s) * CELLS);
    }
    extras.assign(EXTRAS, 0.0f);
    for (std::size_t s = 0; s < AGENT_COUNT; ++s) {
        for (std::size_t n = 0; n < KIND_COUNT; ++n) extras[s * KIND_COUNT + n] = float((obs.pieces[s] >> n) & 1u);
        extras[84 + s] = obs.done[s] ? 1.0f : 0.0f;
    }
}

// Positions from seeded reach-and-random games, to their ends: every 7th ply and the last ones,
// where boards are nearly full and agents hold one piece or few.
std::vector<Game> positions(unsigned games) {
    std::vector<Game> out;
    for (unsigned g = 0; g < games; ++g) {
        Game game = new_game();
        Stream stream = Stream::for_game(77, g);
        std::vector<Game> seen;
        for (;;) {
            skip_passes(game);
            if (is_over(game)) break;
            seen.push_back(game);
            const auto a = pick(game, g % 2 ? Policy::Reach : Policy::Random, stream);
            EXPECT_FALSE(step(game, std::size_t{*a}));
        }
        for (std::size_t k = 0; k < seen.size(); ++k)
            if (k % 7 == 0 || k + 6 >= seen.size()) out.push_back(seen[k]);
        // Play rarely leaves an agent one piece; the last position once more with the mover
        // holding only its smallest.
        Game last = seen.back();
        std::uint32_t& held = last.agents[last.agent_selection].pieces;
        held &= ~held + 1;
        out.push_back(last);
    }
    return out;
}

std::vector<std::uint32_t> legal_of(const Game& game) {
    std::vector<std::uint32_t> legal;
    for_each_legal_action(game, game.agent_selection, [&](std::uint32_t g) { legal.push_back(g); });
    return legal;
}

TEST(Net, MatchesTheReferenceOnPositionsFromPlay) {
    const std::vector<Game> games = positions(6);
    bool one_piece = false;
    for (const Shape shape : {Shape{16, 3, 64}, Shape{40, 2, 10}, Shape{24, 1, 3}}) {
        const auto arrays = random_arrays(shape, static_cast<unsigned>(shape.channels));
        const Net net = make_net(shape, arrays);
        const Reference ref{shape, arrays};
        Evaluator ev(net);
        std::vector<std::uint8_t> board;
        std::vector<float> extras;
        for (const Game& game : games) {
            one_piece = one_piece || std::popcount(game.agents[game.agent_selection].pieces) == 1;
            inputs_of(game, board, extras);
            std::vector<double> e;
            const std::vector<double> h = ref.features(board.data(), extras.data(), e);
            ev.run(net, game);
            for (const std::uint32_t g : legal_of(game)) {
                const double want = ref.logit(h, e, g);
                ASSERT_NEAR(ev.logit(net, g), want, 1e-3 * std::max(1.0, std::abs(want))) << "grid index " << g;
            }
            const double want = ref.value(h);
            ASSERT_NEAR(ev.value(net), want, 1e-3 * std::max(1.0, std::abs(want)));
        }
    }
    EXPECT_TRUE(one_piece) << "no position of an agent with one piece left";
}

// Every kernel the CPU runs gives the same logits to the bit, and so the same picks and draws,
// whatever the evaluator has evaluated before (another net, of another width).
TEST(Net, EveryKernelGivesTheSameBits) {
    const std::vector<Game> games = positions(3);
    const Shape wide{40, 3, 20};
    const auto arrays = random_arrays(Shape{}, 5), wide_arrays = random_arrays(wide, 6);
    const Net net = make_net(Shape{}, arrays), other = make_net(wide, wide_arrays);
    std::vector<std::vector<float>> first;
    std::vector<std::uint32_t> first_picks;
    std::size_t ran = 0;
    const NetKernel& was = active_net_kernel();
    for (const NetKernel* k : all_net_kernels()) {
        if (!select_net_kernel(*k)) continue;
        ++ran;
        Evaluator ev;
        ev.fit(other);
        ev.fit(net);
        std::vector<std::vector<float>> logits;
        std::vector<std::uint32_t> picks;
        std::uint64_t p_seed = 0;
        for (const Game& game : games) {
            ev.run(other, game);  // another layout in the same buffers first
            ev.run(net, game);
            std::vector<float> row;
            for (const std::uint32_t g : legal_of(game)) row.push_back(ev.logit(net, g));
            row.push_back(ev.value(net));
            logits.push_back(row);
            Stream stream{p_seed++};
            // A mover out of moves has no pick: record that as a pick of its own, never read it.
            constexpr std::uint32_t none = 0xffffffffu;
            picks.push_back(ev.pick(net, game, nullptr).value_or(none));
            picks.push_back(ev.pick(net, game, &stream).value_or(none));
        }
        if (first.empty()) {
            first = logits;
            first_picks = picks;
            continue;
        }
        for (std::size_t p = 0; p < logits.size(); ++p)
            ASSERT_EQ(std::memcmp(logits[p].data(), first[p].data(), logits[p].size() * sizeof(float)), 0)
                << k->name << " position " << p;
        EXPECT_EQ(picks, first_picks) << k->name;
    }
    select_net_kernel(was);
    EXPECT_GE(ran, 1u);
}

TEST(Net, PicksTheMostLikelyOrDrawsFromThePolicy) {
    const auto arrays = random_arrays(Shape{}, 9);
    const Net net = make_net(Shape{}, arrays);
    Evaluator ev(net);
    Game game = new_game();
    for (int ply = 0; ply < 12; ++ply) {
        skip_passes(game);
        const std::vector<std::uint32_t> legal = legal_of(game);
        ev.run(net, game);
        std::uint32_t best = legal[0];
        for (const std::uint32_t g : legal)
            if (ev.logit(net, g) > ev.logit(net, best)) best = g;
        Stream a{static_cast<std::uint64_t>(ply)}, b = a;
        EXPECT_EQ(*ev.pick(net, game, nullptr), best);
        const std::uint32_t drawn = *ev.pick(net, game, &a);
        EXPECT_NE(a.state, b.state);  // one draw taken
        (void)b.next();
        EXPECT_EQ(a.state, b.state);
        EXPECT_NE(std::find(legal.begin(), legal.end(), drawn), legal.end());
        ASSERT_FALSE(step(game, std::size_t{drawn}));
    }
}

// TAVRIN_KERNEL forces the net's kernel too, when the CPU runs it (ctest runs this once per name).
TEST(Net, FollowsTheForcedKernel) {
    const char* forced = std::getenv("TAVRIN_KERNEL");
    if (forced == nullptr) GTEST_SKIP() << "TAVRIN_KERNEL not set";
    for (const NetKernel* k : all_net_kernels()) {
        if (std::string_view(k->name) == forced && net_kernel_supported(*k)) {
            EXPECT_STREQ(active_net_kernel().name, forced);
        }
    }
}

TEST(Net, RefusesArraysOfTheWrongSize) {
    const Shape shape{};
    auto arrays = random_arrays(shape, 1);
    arrays[4].pop_back();
    EXPECT_THROW(make_net(shape, arrays), std::invalid_argument);
    EXPECT_THROW(make_net(Shape{300, 3, 64}, random_arrays(Shape{16, 3, 64}, 1)), std::invalid_argument);
    arrays.pop_back();
    EXPECT_THROW(make_net(shape, arrays), std::invalid_argument);
}

}  // namespace
}  // namespace tavrin::net
