// The generator on plain 64-bit words: what any CPU runs.
#define TAVRIN_LANES 1
#include "game/kernel_body.h"

namespace tavrin::kernels {
const Kernel PORTABLE = make_kernel("portable", 0);
}  // namespace tavrin::kernels
