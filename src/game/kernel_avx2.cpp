// The generator on 256-bit vectors; built with -mavx2 -mbmi -mbmi2 -mpopcnt, run only when the CPU
// has them (moves.cpp checks).
#ifdef TAVRIN_X86_KERNELS
#include <cstdint>

typedef std::uint64_t Lane __attribute__((vector_size(32)));
#define TAVRIN_HAS_POPCNT 1
#define TAVRIN_LANES 4
#include "game/kernel_body.h"

namespace tavrin::kernels {
const KernelOps AVX2 = {prepare, any, anchors, list, mark, nth};
}  // namespace tavrin::kernels
#endif
