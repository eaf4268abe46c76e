// The generator on plain 64-bit words: what any CPU runs.
#include <cstdint>

using Lane = std::uint64_t;
#define TAVRIN_LANES 1
#include "game/kernel_body.h"

namespace tavrin::kernels {
const KernelOps PORTABLE = {prepare, any, anchors, list, mark, nth};
}  // namespace tavrin::kernels
