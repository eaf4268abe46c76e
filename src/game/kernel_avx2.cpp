// The generator on 256-bit vectors; built with -mavx2 -mbmi -mbmi2 -mpopcnt, run only where the
// CPU has them.
#ifdef TAVRIN_X86_KERNELS
#define TAVRIN_LANES 4
#include "game/kernel_body.h"

namespace tavrin::kernels {
const Kernel AVX2 = make_kernel("avx2", CPU_AVX2 | CPU_BMI | CPU_BMI2 | CPU_POPCNT);
}  // namespace tavrin::kernels
#endif
