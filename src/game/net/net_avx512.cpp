// The net on 512-bit vectors: one vector is 16 output channels. Built with -mavx512f, run only
// where the CPU has it.
#ifdef TAVRIN_X86_KERNELS
#include "game/kernels.h"
#define TAVRIN_NET_WIDTH 16
#define TAVRIN_NET_GROUP 10  // cells in flight: 10 of the 32 registers for 16 channels
#include "game/net/net_body.h"

namespace tavrin::net {
const NetKernel NET_AVX512 = make_net_kernel("avx512", kernels::CPU_AVX512F);
}  // namespace tavrin::net
#endif
