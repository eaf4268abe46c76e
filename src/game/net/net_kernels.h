// The net's inner loops, compiled once per instruction set (net_portable.cpp, net_avx2.cpp,
// net_avx512.cpp, each from net_body.h). Internal to the engine: callers go through net.h.
//
// As with the move generator's kernels, the wide files see nothing but this header: plain structs
// and no inline functions, whose out-of-line copies the linker could take from a wide file.
#pragma once

#include <cstddef>

namespace tavrin::net {

// Outputs per vector operation: every kernel works on 16 floats at a time (one AVX-512 register,
// two AVX2 ones, four SSE ones), each lane computing one output channel exactly as a scalar loop
// would, so the kernels agree bit for bit.
inline constexpr std::size_t LANES = 16;
// The most output vectors a layer has: 256 channels, the widest net the loader takes.
inline constexpr std::size_t MAX_BLOCKS = 16;
inline constexpr std::size_t SIDE = 20, PADDED_SIDE = SIDE + 2;

struct NetKernel {
    const char* name;
    unsigned needs;  // tavrin::kernels::CpuFeature bits
    // A 3x3 convolution with zero padding and ReLU over a channels-last board:
    //   out[cell][o] = max(0, sum over taps t, inputs i of in[cell + t][i] × w[t][i][o]
    //                         + add[cell][o] + bias[o])
    // `in` is [22][22][in_stride] (border zero) of which the first `inputs` channels are read,
    // every one, zeros included (a branch per input costs more than the multiplies it saves);
    // each sum runs over taps, then inputs, in order, then adds `add`, then `bias`. `w` is
    // [9][inputs][outputs], `bias` [outputs], `out` [22][22][outputs] (its border left as it
    // is), outputs a multiple of LANES up to MAX_BLOCKS × LANES. `add` is [22][22][outputs] like
    // `out` (a residual input), or [20][20][outputs] when `add_unpadded`.
    void (*conv3x3)(const float* in, std::size_t in_stride, std::size_t inputs, const float* w,
                    std::size_t outputs, const float* add, bool add_unpadded, const float* bias,
                    float* out) noexcept;
    // A dense layer: out[o] = (sum over i of x[i] × w[i][o]) + bias[o], inputs in order and zero
    // inputs skipped (its inputs, the pieces and flags or ReLU outputs, are mostly 0); outputs a
    // multiple of LANES; then ReLU when `relu`.
    void (*dense)(const float* x, std::size_t inputs, const float* w, std::size_t outputs, const float* bias,
                  bool relu, float* out) noexcept;
};

extern const NetKernel NET_PORTABLE;
#ifdef TAVRIN_X86_KERNELS
extern const NetKernel NET_AVX2;
extern const NetKernel NET_AVX512;
#endif

}  // namespace tavrin::net
