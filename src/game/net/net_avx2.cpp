// The net on 256-bit vectors; built with -mavx2, run only where the CPU has it.
#ifdef TAVRIN_X86_KERNELS
#include "game/kernels.h"
#define TAVRIN_NET_WIDTH 8
#define TAVRIN_NET_GROUP 5   // cells in flight: 10 of the 16 registers for 16 channels
#include "game/net/net_body.h"

namespace tavrin::net {
const NetKernel NET_AVX2 = make_net_kernel("avx2", kernels::CPU_AVX2);
}  // namespace tavrin::net
#endif
