// The trained policy-value net, evaluated in the engine: the forward pass of the policy files that
// training writes (the torch net's layout), on float32 copies of their weights.
//
// The net reads the mover's 12 board planes with a row and a column plane through a 3x3
// convolution (the stem), then residual 3x3 convolutions, all `channels` wide; the pieces and
// out-of-moves flags (88 values) add a bias to the stem and one per orientation to the policy.
// The policy is a 1x1 convolution to one channel per orientation, which is the action grid, and is
// evaluated at the legal grid indexes only; the value head runs only when asked.
//
// The convolutions run on the net kernel of the CPU (net_kernels.h), chosen on first use as the
// move generator's is. Every kernel computes each output with the same operations in the same
// order and no fused multiply-add, so a position's logits, and so every pick, are bitwise the same
// on every kernel, every batch and every thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "game/game.h"
#include "game/net/net_kernels.h"
#include "game/stream.h"

namespace tavrin::net {

inline constexpr std::size_t BOARD_PLANES = 12;   // cells, corners, blocked cells of each seat
inline constexpr std::size_t EXTRAS = 88;         // pieces by seat and kind, then out-of-moves flags
inline constexpr std::size_t ORIENTATIONS = 91;
inline constexpr std::size_t VALUE_PLANES = 4;
inline constexpr std::size_t CELLS = 400;
// The largest nets the loader takes; exported to Python (tavrin_rl._limits), which checks a file against them.
inline constexpr std::size_t MAX_CHANNELS = 256, MAX_LAYERS = 32, MAX_HIDDEN = 1024;

// The sizes a policy file's arrays imply.
struct Shape {
    std::size_t channels = 16;
    std::size_t layers = 3;  // the stem and layers - 1 residual convolutions
    std::size_t hidden = 64;
};

// The arrays of a net of `shape`, in the order the loader takes them, with their float counts:
// extras.weight, extras.bias, stem.weight, stem.bias, then weight and bias of each residual
// convolution, policy.weight, policy.bias, value_conv.weight, value_conv.bias, value_fc.weight,
// value_fc.bias, value_out.weight, value_out.bias (torch's layouts).
std::vector<std::size_t> array_sizes(const Shape& shape);

class Net {
 public:
    // A net from its arrays (float32, as `array_sizes` lists them). The values were checked where
    // the file was read; here only what memory safety needs: the shape's limits and each array's
    // size. Throws std::invalid_argument otherwise.
    Net(const Shape& shape, std::span<const std::span<const float>> arrays);

    const Shape& shape() const noexcept { return shape_; }
    // Output channels rounded up to whole vectors.
    std::size_t padded() const noexcept { return padded_; }

 private:
    friend class Evaluator;
    Shape shape_;
    std::size_t padded_ = 0;         // channels rounded up to LANES
    std::size_t extras_padded_ = 0;  // channels + ORIENTATIONS rounded up to LANES
    std::size_t hidden_padded_ = 0;
    // Laid out for the kernels: weights as [input][output] with outputs padded to LANES, zeros in
    // the padding, so that a vector of outputs is one load.
    std::vector<float> extras_w_, extras_b_;  // [EXTRAS][extras_padded_], [extras_padded_]
    std::vector<float> stem_w_;               // [9][BOARD_PLANES][padded_]
    std::vector<float> stem_map_;             // [CELLS][padded_]: the row and column planes' share, and stem.bias
    std::vector<std::vector<float>> conv_w_;  // per residual layer: [9][channels][padded_]
    std::vector<std::vector<float>> conv_b_;  // [padded_]
    std::vector<float> policy_w_, policy_b_;  // [ORIENTATIONS][channels], [ORIENTATIONS]
    std::vector<float> value_conv_w_, value_conv_b_;  // [VALUE_PLANES][channels], [VALUE_PLANES]
    std::vector<float> value_fc_w_, value_fc_b_;      // [VALUE_PLANES * CELLS][hidden_padded_], [hidden_padded_]
    std::vector<float> value_out_w_;                   // [hidden]
    float value_out_b_ = 0.0f;
};

// The buffers of evaluations, for one thread: sized for the nets it will meet when made (or by
// `fit`), then reused, so an evaluation allocates nothing.
class Evaluator {
 public:
    Evaluator() = default;
    explicit Evaluator(const Net& net) { fit(net); }
    // Grows the buffers for `net` (allocates only when it is wider than any before).
    void fit(const Net& net);

    // The trunk of `net` for the agent to move in `game`, in its frame; the logits and value
    // below read it. The evaluator must fit the net.
    void run(const Net& net, const Game& game);
    // The same from the planes and extras themselves: board (BOARD_PLANES × CELLS bytes, 0 or 1)
    // and extras (EXTRAS floats).
    void run(const Net& net, const std::uint8_t* board, const float* extras);

    // The logit of grid index g (orientation × 400 + cell) after `run`.
    float logit(const Net& net, std::uint32_t g) const noexcept;
    // The value head after `run`: the predicted outcome for the mover.
    float value(const Net& net) noexcept;

    // The placement the net picks for the agent to move in `game` (none when it has none): the most
    // likely legal one (the lowest grid index of equal logits), drawing nothing; or, with
    // `stream`, one drawn from the policy over the legal placements with one draw.
    std::optional<std::uint32_t> pick(const Net& net, const Game& game, Stream* stream);
    // The same choice after `run`, among `legal` (ascending grid indexes, at least one).
    std::uint32_t choose(const Net& net, std::span<const std::uint16_t> legal, Stream* stream);

 private:
    std::vector<std::uint8_t> board_;  // [BOARD_PLANES][CELLS]
    std::vector<float> input_;    // [22][22][BOARD_PLANES], border zero
    // [22][22][net's padded channels], border zero: the trunk's layers in turn. `layout_` is the
    // channel stride they were last laid out with: a net of another width clears them first.
    std::vector<float> a_, b_;
    std::size_t layout_ = 0;
    const float* features_ = nullptr;  // the trunk's output, a_ or b_
    std::size_t features_padded_ = 0;
    std::vector<float> stem_bias_;  // the stem's share of the extras layer, padded with zeros
    std::vector<float> extras_;   // the extras layer's output [extras_padded]
    std::vector<float> value_in_; // [VALUE_PLANES * CELLS]
    std::vector<float> hidden_;   // [hidden_padded]
    std::vector<std::uint16_t> legal_;
    std::vector<float> logits_;
    std::size_t padded_ = 0, extras_padded_ = 0, hidden_padded_ = 0;
};

// --- The kernels ---

// Every net kernel of this build, narrowest first.
std::span<const NetKernel* const> all_net_kernels() noexcept;
// Whether this CPU runs kernel k.
bool net_kernel_supported(const NetKernel& k) noexcept;
// The kernel of every evaluation: the one named as the move generator's active kernel (which
// TAVRIN_KERNEL forces), chosen on first use.
const NetKernel& active_net_kernel() noexcept;
// Makes k the kernel of later evaluations, when supported (for tests and benchmarks that compare
// kernels in one process). Returns whether it was.
bool select_net_kernel(const NetKernel& k) noexcept;

}  // namespace tavrin::net
