// The net's loader, its evaluation around the kernels, its picks, and the kernel choice.
#include "game/net/net.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "game/error.h"
#include "game/kernels.h"
#include "game/moves.h"
#include "game/observation.h"
#include "game/planes.h"

namespace tavrin::net {
namespace {

constexpr std::size_t TAPS = 9;
constexpr std::size_t PADDED_CELLS = PADDED_SIDE * PADDED_SIDE;

constexpr std::size_t round_up(std::size_t n) noexcept { return (n + LANES - 1) / LANES * LANES; }

// --- The kernel choice ---

unsigned cpu_features() noexcept {
    unsigned f = 0;
#ifdef TAVRIN_X86_KERNELS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) f |= kernels::CPU_AVX2;
    if (__builtin_cpu_supports("avx512f")) f |= kernels::CPU_AVX512F;
#endif
    return f;
}

const NetKernel* const NET_KERNELS[] = {
    &NET_PORTABLE,
#ifdef TAVRIN_X86_KERNELS
    &NET_AVX2,
    &NET_AVX512,
#endif
};

// Null until the first evaluation: nothing runs when the module loads.
std::atomic<const NetKernel*> chosen{nullptr};

const NetKernel* choose_net_kernel() noexcept {
    // The move generator's choice (TAVRIN_KERNEL, or the widest it runs) names ours, so one
    // variable forces both; a name the net lacks or the CPU cannot run falls back to portable.
    const std::string_view name = active_kernel().name;
    for (const NetKernel* k : NET_KERNELS)
        if (name == k->name && net_kernel_supported(*k)) return k;
    return &NET_PORTABLE;
}

const NetKernel& kernel() noexcept {
    const NetKernel* k = chosen.load(std::memory_order_acquire);
    if (k == nullptr) {
        // Threads that race here compute the same choice; the first store wins and the others
        // store the same pointer.
        k = choose_net_kernel();
        chosen.store(k, std::memory_order_release);
    }
    return *k;
}

}  // namespace

std::span<const NetKernel* const> all_net_kernels() noexcept { return NET_KERNELS; }

bool net_kernel_supported(const NetKernel& k) noexcept {
    static const unsigned features = cpu_features();
    return (k.needs & ~features) == 0;
}

const NetKernel& active_net_kernel() noexcept { return kernel(); }

bool select_net_kernel(const NetKernel& k) noexcept {
    if (!net_kernel_supported(k)) return false;
    chosen.store(&k, std::memory_order_release);
    return true;
}

// --- Loading ---

std::vector<std::size_t> array_sizes(const Shape& s) {
    const std::size_t c = s.channels;
    std::vector<std::size_t> sizes = {(c + ORIENTATIONS) * EXTRAS, c + ORIENTATIONS, c * (BOARD_PLANES + 2) * TAPS, c};
    for (std::size_t layer = 1; layer < s.layers; ++layer) {
        sizes.push_back(c * c * TAPS);
        sizes.push_back(c);
    }
    const std::size_t rest[] = {ORIENTATIONS * c, ORIENTATIONS, VALUE_PLANES * c, VALUE_PLANES,
                                s.hidden * VALUE_PLANES * CELLS, s.hidden, s.hidden, 1};
    sizes.insert(sizes.end(), std::begin(rest), std::end(rest));
    return sizes;
}

Net::Net(const Shape& shape, std::span<const std::span<const float>> arrays) : shape_(shape) {
    const std::size_t c = shape.channels, h = shape.hidden;
    if (c < 1 || c > MAX_CHANNELS || shape.layers < 1 || shape.layers > MAX_LAYERS || h < 1 || h > MAX_HIDDEN)
        throw std::invalid_argument("a net of " + std::to_string(c) + " channels, " + std::to_string(shape.layers) +
                                    " layers and " + std::to_string(h) + " hidden units is beyond the engine's limits");
    const std::vector<std::size_t> sizes = array_sizes(shape);
    if (arrays.size() != sizes.size())
        throw std::invalid_argument("a net of this shape has " + std::to_string(sizes.size()) + " arrays, got " +
                                    std::to_string(arrays.size()));
    for (std::size_t k = 0; k < sizes.size(); ++k)
        if (arrays[k].size() != sizes[k])
            throw std::invalid_argument("net array " + std::to_string(k) + " holds " + std::to_string(arrays[k].size()) +
                                        " values, expected " + std::to_string(sizes[k]));
    padded_ = round_up(c);
    extras_padded_ = round_up(c + ORIENTATIONS);
    hidden_padded_ = round_up(h);
    std::size_t next = 0;
    const auto take = [&] { return arrays[next++]; };

    // torch's Linear is [out][in]; the kernels read [in][out], outputs padded with zeros.
    const auto transpose = [](std::span<const float> w, std::size_t outs, std::size_t ins, std::size_t padded) {
        std::vector<float> t(ins * padded, 0.0f);
        for (std::size_t o = 0; o < outs; ++o)
            for (std::size_t i = 0; i < ins; ++i) t[i * padded + o] = w[o * ins + i];
        return t;
    };
    const auto pad = [](std::span<const float> b, std::size_t padded) {
        std::vector<float> t(padded, 0.0f);
        std::copy(b.begin(), b.end(), t.begin());
        return t;
    };
    // torch's Conv2d is [out][in][row][column]; the kernels read [tap][in][out].
    const auto conv = [&](std::span<const float> w, std::size_t ins, std::size_t first_in, std::size_t used_ins) {
        std::vector<float> t(TAPS * used_ins * padded_, 0.0f);
        for (std::size_t o = 0; o < c; ++o)
            for (std::size_t i = 0; i < used_ins; ++i)
                for (std::size_t tap = 0; tap < TAPS; ++tap)
                    t[(tap * used_ins + i) * padded_ + o] = w[(o * ins + first_in + i) * TAPS + tap];
        return t;
    };

    const auto extras_w = take(), extras_b = take();
    extras_w_ = transpose(extras_w, c + ORIENTATIONS, EXTRAS, extras_padded_);
    extras_b_ = pad(extras_b, extras_padded_);
    const auto stem_w = take(), stem_b = take();
    stem_w_ = conv(stem_w, BOARD_PLANES + 2, 0, BOARD_PLANES);
    // The row and column planes are the same in every position: their share of the stem, with
    // its bias, is computed once. Summed in double: this is done once, and then read as floats.
    stem_map_.assign(CELLS * padded_, 0.0f);
    for (std::size_t r = 0; r < SIDE; ++r) {
        for (std::size_t col = 0; col < SIDE; ++col) {
            for (std::size_t o = 0; o < c; ++o) {
                double sum = stem_b[o];
                for (std::size_t ky = 0; ky < 3; ++ky) {
                    for (std::size_t kx = 0; kx < 3; ++kx) {
                        const std::ptrdiff_t y = static_cast<std::ptrdiff_t>(r + ky) - 1;
                        const std::ptrdiff_t x = static_cast<std::ptrdiff_t>(col + kx) - 1;
                        if (y < 0 || x < 0 || y >= static_cast<std::ptrdiff_t>(SIDE) ||
                            x >= static_cast<std::ptrdiff_t>(SIDE))
                            continue;
                        const double planes[2] = {static_cast<double>(y) / (SIDE - 1), static_cast<double>(x) / (SIDE - 1)};
                        for (std::size_t p = 0; p < 2; ++p)
                            sum += planes[p] * stem_w[(o * (BOARD_PLANES + 2) + BOARD_PLANES + p) * TAPS + ky * 3 + kx];
                    }
                }
                stem_map_[(r * SIDE + col) * padded_ + o] = static_cast<float>(sum);
            }
        }
    }
    for (std::size_t layer = 1; layer < shape.layers; ++layer) {
        const auto w = take(), b = take();
        conv_w_.push_back(conv(w, c, 0, c));
        conv_b_.push_back(pad(b, padded_));
    }
    const auto copy = [](std::span<const float> a) { return std::vector<float>(a.begin(), a.end()); };
    policy_w_ = copy(take());
    policy_b_ = copy(take());
    value_conv_w_ = copy(take());
    value_conv_b_ = copy(take());
    const auto fc_w = take(), fc_b = take();
    value_fc_w_ = transpose(fc_w, h, VALUE_PLANES * CELLS, hidden_padded_);
    value_fc_b_ = pad(fc_b, hidden_padded_);
    value_out_w_ = copy(take());
    value_out_b_ = take()[0];
}

// --- Evaluation ---

void Evaluator::fit(const Net& net) {
    if (input_.empty()) {
        board_.assign(BOARD_PLANES * CELLS, 0);
        input_.assign(PADDED_CELLS * BOARD_PLANES, 0.0f);
        value_in_.assign(VALUE_PLANES * CELLS, 0.0f);
        legal_.reserve(GRID_SIZE);
        logits_.reserve(GRID_SIZE);
    }
    if (net.padded_ > padded_) {
        padded_ = net.padded_;
        a_.assign(PADDED_CELLS * padded_, 0.0f);
        b_.assign(PADDED_CELLS * padded_, 0.0f);
        layout_ = 0;
        stem_bias_.assign(padded_, 0.0f);
    }
    if (net.extras_padded_ > extras_padded_) {
        extras_padded_ = net.extras_padded_;
        extras_.assign(extras_padded_, 0.0f);
    }
    if (net.hidden_padded_ > hidden_padded_) {
        hidden_padded_ = net.hidden_padded_;
        hidden_.assign(hidden_padded_, 0.0f);
    }
}

void Evaluator::run(const Net& net, const std::uint8_t* board, const float* extras) {
    if (net.padded_ > padded_ || net.extras_padded_ > extras_padded_ || net.hidden_padded_ > hidden_padded_)
        fail("a net evaluated with buffers too small for it");
    const NetKernel& k = kernel();
    const std::size_t c = net.shape_.channels, p = net.padded_;
    k.dense(extras, EXTRAS, net.extras_w_.data(), net.extras_padded_, net.extras_b_.data(), false, extras_.data());
    // The first `channels` outputs are the stem's bias; the padding lanes stay zero.
    std::copy_n(extras_.data(), c, stem_bias_.data());
    std::fill(stem_bias_.begin() + static_cast<std::ptrdiff_t>(c), stem_bias_.begin() + static_cast<std::ptrdiff_t>(p), 0.0f);
    for (std::size_t r = 0; r < SIDE; ++r)
        for (std::size_t col = 0; col < SIDE; ++col) {
            float* cell = input_.data() + ((r + 1) * PADDED_SIDE + col + 1) * BOARD_PLANES;
            for (std::size_t plane = 0; plane < BOARD_PLANES; ++plane)
                cell[plane] = board[plane * CELLS + r * SIDE + col] != 0 ? 1.0f : 0.0f;
        }
    if (layout_ != p) {
        // Another width lays its cells at other strides, where this one's border lies: clear
        // both (a layer writes only the board's cells, so the border then stays zero).
        std::fill(a_.begin(), a_.end(), 0.0f);
        std::fill(b_.begin(), b_.end(), 0.0f);
        layout_ = p;
    }
    float* in = a_.data();
    float* out = b_.data();
    k.conv3x3(input_.data(), BOARD_PLANES, BOARD_PLANES, net.stem_w_.data(), p, net.stem_map_.data(), true,
              stem_bias_.data(), in);
    for (std::size_t layer = 0; layer + 1 < net.shape_.layers; ++layer) {
        k.conv3x3(in, p, c, net.conv_w_[layer].data(), p, in, false, net.conv_b_[layer].data(), out);
        std::swap(in, out);
    }
    features_ = in;
    features_padded_ = p;
}

void Evaluator::run(const Net& net, const Game& game) {
    const Observation obs = observe(game, game.agent_selection);
    for (std::size_t s = 0; s < AGENT_COUNT; ++s) {
        write_plane(obs.occupied[s], board_.data() + s * CELLS);
        write_plane(obs.corners[s], board_.data() + (AGENT_COUNT + s) * CELLS);
        write_plane(obs.blocked[s], board_.data() + (2 * AGENT_COUNT + s) * CELLS);
    }
    float extras[EXTRAS];
    for (std::size_t s = 0; s < AGENT_COUNT; ++s) {
        for (std::size_t n = 0; n < KIND_COUNT; ++n) extras[s * KIND_COUNT + n] = static_cast<float>((obs.pieces[s] >> n) & 1u);
        extras[AGENT_COUNT * KIND_COUNT + s] = obs.done[s] ? 1.0f : 0.0f;
    }
    run(net, board_.data(), extras);
}

float Evaluator::logit(const Net& net, std::uint32_t g) const noexcept {
    const std::size_t o = g / CELLS, cell = g % CELLS, c = net.shape_.channels;
    const float* f = features_ + ((cell / SIDE + 1) * PADDED_SIDE + cell % SIDE + 1) * features_padded_;
    const float* w = net.policy_w_.data() + o * c;
    float sum = 0.0f;  // in channel order, one rounding per step, on every kernel
    for (std::size_t k = 0; k < c; ++k) sum = sum + f[k] * w[k];
    sum = sum + net.policy_b_[o];
    return sum + extras_[c + o];
}

float Evaluator::value(const Net& net) noexcept {
    const std::size_t c = net.shape_.channels;
    for (std::size_t plane = 0; plane < VALUE_PLANES; ++plane) {
        const float* w = net.value_conv_w_.data() + plane * c;
        for (std::size_t cell = 0; cell < CELLS; ++cell) {
            const float* f = features_ + ((cell / SIDE + 1) * PADDED_SIDE + cell % SIDE + 1) * features_padded_;
            float sum = 0.0f;
            for (std::size_t k = 0; k < c; ++k) sum = sum + f[k] * w[k];
            sum = sum + net.value_conv_b_[plane];
            value_in_[plane * CELLS + cell] = sum > 0.0f ? sum : 0.0f;  // torch flattens planes first
        }
    }
    kernel().dense(value_in_.data(), VALUE_PLANES * CELLS, net.value_fc_w_.data(), net.hidden_padded_,
                   net.value_fc_b_.data(), true, hidden_.data());
    float sum = 0.0f;
    for (std::size_t j = 0; j < net.shape_.hidden; ++j) sum = sum + hidden_[j] * net.value_out_w_[j];
    return sum + net.value_out_b_;
}

std::optional<std::uint32_t> Evaluator::pick(const Net& net, const Game& game, Stream* stream) {
    legal_.clear();
    for_each_legal_action(game, game.agent_selection, [&](std::uint32_t g) { legal_.push_back(static_cast<std::uint16_t>(g)); });
    if (legal_.empty()) return std::nullopt;
    run(net, game);
    return choose(net, legal_, stream);
}

std::uint32_t Evaluator::choose(const Net& net, std::span<const std::uint16_t> legal, Stream* stream) {
    if (legal.empty()) fail("a net chose among no placements");
    if (stream == nullptr) {
        std::uint32_t best = legal[0];
        float top = logit(net, best);
        for (std::size_t j = 1; j < legal.size(); ++j) {
            const float l = logit(net, legal[j]);
            if (l > top) {  // ascending indexes: the first of equal logits stays
                top = l;
                best = legal[j];
            }
        }
        return best;
    }
    logits_.resize(legal.size());
    float top = -INFINITY;
    for (std::size_t j = 0; j < legal.size(); ++j) {
        logits_[j] = logit(net, legal[j]);
        top = std::max(top, logits_[j]);
    }
    // The softmax by inverse transform of one uniform draw, summed in index order twice (the
    // total, then the running sum up to the draw) so that both passes round alike.
    double total = 0.0;
    for (const float l : logits_) total += std::exp(static_cast<double>(l - top));
    const double target = static_cast<double>(stream->next() >> 11) * 0x1.0p-53 * total;
    double running = 0.0;
    for (std::size_t j = 0; j < legal.size(); ++j) {
        running += std::exp(static_cast<double>(logits_[j] - top));
        if (running > target) return legal[j];
    }
    return legal.back();  // rounding at the top
}

}  // namespace tavrin::net
