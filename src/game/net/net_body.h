// The body of every net kernel: included once per instruction set by net_<name>.cpp, which sets
// TAVRIN_NET_WIDTH (floats per register) and TAVRIN_NET_GROUP, then defines its NetKernel with
// make_net_kernel. Vectors are GCC/Clang vector extensions of the file's register width (a wider
// type would be split through memory); lane o computes output o with the same multiplies and adds,
// in the same order, as every other kernel (the files are built with -ffp-contract=off: no fused
// multiply-add).
#include <cstddef>
#include <cstring>

#include "game/net/net_kernels.h"

namespace tavrin::net {
namespace {

constexpr std::size_t WIDTH = TAVRIN_NET_WIDTH;
static_assert(LANES % WIDTH == 0);
typedef float Vec __attribute__((vector_size(WIDTH * sizeof(float))));

// NetKernel::conv3x3 for BLOCKS registers of outputs (0: any number up to the widest net), GROUP
// neighbouring cells of a row at a time. Each output's sum runs over taps, then inputs, in order,
// one rounding per multiply and per add, whatever BLOCKS and GROUP are: those only decide how many
// independent sums are in flight (a sum's adds wait on each other; GROUP of them hide that wait).
// No input is skipped: a branch per input mispredicts on ReLU outputs and costs more than it saves.
template <std::size_t BLOCKS, std::size_t GROUP>
void conv3x3_body(const float* in, std::size_t in_stride, std::size_t inputs, const float* w,
                  std::size_t outputs, const float* add, bool add_unpadded, const float* bias,
                  float* out) noexcept {
    static_assert(SIDE % GROUP == 0);
    const std::size_t blocks = BLOCKS != 0 ? BLOCKS : outputs / WIDTH;
    constexpr std::size_t MOST = BLOCKS != 0 ? BLOCKS : MAX_BLOCKS * LANES / WIDTH;
    for (std::size_t r = 0; r < SIDE; ++r) {
        for (std::size_t c = 0; c < SIDE; c += GROUP) {
            Vec acc[GROUP][MOST];
            for (std::size_t q = 0; q < GROUP; ++q)
                for (std::size_t b = 0; b < blocks; ++b) acc[q][b] = Vec{};
            for (std::size_t ky = 0; ky < 3; ++ky) {
                for (std::size_t kx = 0; kx < 3; ++kx) {
                    const float* x = in + ((r + ky) * PADDED_SIDE + c + kx) * in_stride;
                    const float* wt = w + (ky * 3 + kx) * inputs * outputs;
                    for (std::size_t i = 0; i < inputs; ++i) {
                        const float* wi = wt + i * outputs;
                        for (std::size_t b = 0; b < blocks; ++b) {
                            Vec wv;
                            std::memcpy(&wv, wi + b * WIDTH, sizeof wv);
                            for (std::size_t q = 0; q < GROUP; ++q) acc[q][b] = acc[q][b] + x[q * in_stride + i] * wv;
                        }
                    }
                }
            }
            for (std::size_t q = 0; q < GROUP; ++q) {
                const std::size_t at = ((r + 1) * PADDED_SIDE + c + q + 1) * outputs;
                const float* a = add + (add_unpadded ? (r * SIDE + c + q) * outputs : at);
                for (std::size_t b = 0; b < blocks; ++b) {
                    Vec av, bv;
                    std::memcpy(&av, a + b * WIDTH, sizeof av);
                    std::memcpy(&bv, bias + b * WIDTH, sizeof bv);
                    Vec y = acc[q][b] + av;
                    y = y + bv;
                    y = y > Vec{} ? y : Vec{};
                    std::memcpy(out + at + b * WIDTH, &y, sizeof y);
                }
            }
        }
    }
}

void conv3x3(const float* in, std::size_t in_stride, std::size_t inputs, const float* w, std::size_t outputs,
             const float* add, bool add_unpadded, const float* bias, float* out) noexcept {
    // The common widths get loops of a fixed count, their sums in registers (TAVRIN_NET_GROUP:
    // as many cells as the file's registers hold); the others a loop of the net's count.
    constexpr std::size_t G = TAVRIN_NET_GROUP, R = LANES / WIDTH;  // registers per 16 outputs
    switch (outputs / LANES) {
        case 1:
            return conv3x3_body<R, G>(in, in_stride, inputs, w, outputs, add, add_unpadded, bias, out);
        case 2:
            return conv3x3_body<2 * R, (G >= 4 ? G / 2 : 1)>(in, in_stride, inputs, w, outputs, add, add_unpadded, bias, out);
        case 4:
            return conv3x3_body<4 * R, (G >= 8 ? G / 4 : 1)>(in, in_stride, inputs, w, outputs, add, add_unpadded, bias, out);
        default:
            break;
    }
    conv3x3_body<0, 1>(in, in_stride, inputs, w, outputs, add, add_unpadded, bias, out);
}

void dense(const float* x, std::size_t inputs, const float* w, std::size_t outputs, const float* bias, bool relu,
           float* out) noexcept {
    const std::size_t blocks = outputs / WIDTH;
    for (std::size_t b = 0; b < blocks; ++b) {
        const Vec zero{};
        std::memcpy(out + b * WIDTH, &zero, sizeof zero);
    }
    for (std::size_t i = 0; i < inputs; ++i) {
        const float v = x[i];
        if (v == 0.0f) continue;
        const float* wi = w + i * outputs;
        for (std::size_t b = 0; b < blocks; ++b) {
            Vec acc, wv;
            std::memcpy(&acc, out + b * WIDTH, sizeof acc);
            std::memcpy(&wv, wi + b * WIDTH, sizeof wv);
            acc = acc + v * wv;
            std::memcpy(out + b * WIDTH, &acc, sizeof acc);
        }
    }
    for (std::size_t b = 0; b < blocks; ++b) {
        Vec acc, bv;
        std::memcpy(&acc, out + b * WIDTH, sizeof acc);
        std::memcpy(&bv, bias + b * WIDTH, sizeof bv);
        acc = acc + bv;
        if (relu) acc = acc > Vec{} ? acc : Vec{};
        std::memcpy(out + b * WIDTH, &acc, sizeof acc);
    }
}

constexpr NetKernel make_net_kernel(const char* name, unsigned needs) noexcept {
    return NetKernel{name, needs, &conv3x3, &dense};
}

}  // namespace
}  // namespace tavrin::net
