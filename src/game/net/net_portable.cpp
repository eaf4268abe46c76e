// The net on the compiler's baseline vectors (SSE2 on x86-64): runs on every CPU.
#define TAVRIN_NET_WIDTH 4   // SSE2, part of x86-64 (elsewhere the compiler splits the vectors)
#define TAVRIN_NET_GROUP 2   // cells in flight: 8 of the 16 registers for 16 channels
#include "game/net/net_body.h"

namespace tavrin::net {
const NetKernel NET_PORTABLE = make_net_kernel("portable", 0);
}  // namespace tavrin::net
