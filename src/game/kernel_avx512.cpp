// The generator on 512-bit vectors: a whole board per register. Built with -mavx512f -mavx512bw
// -mavx512vl and the AVX2 flags, run only where the CPU has them.
#ifdef TAVRIN_X86_KERNELS
// GCC 12 reports the deliberately undefined registers inside its own AVX-512 headers
// (_mm512_undefined_*) as uninitialized once they are inlined here; nothing of ours is.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define TAVRIN_LANES 8
#include "game/kernel_body.h"

namespace tavrin::kernels {
const Kernel AVX512 = make_kernel("avx512", CPU_AVX2 | CPU_BMI | CPU_BMI2 | CPU_POPCNT | CPU_AVX512F |
                                                CPU_AVX512BW | CPU_AVX512VL);
}  // namespace tavrin::kernels
#endif
