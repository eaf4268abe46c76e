// The generator on 512-bit vectors: a whole board per register. Built with -mavx512f -mavx512bw
// -mavx512vl and the AVX2 flags, run only when the CPU has them (moves.cpp checks).
#ifdef TAVRIN_X86_KERNELS
#include <cstdint>

// GCC 12 reports the deliberately undefined registers inside its own AVX-512 headers
// (_mm512_undefined_*) as uninitialized once they are inlined here; nothing of ours is.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

typedef std::uint64_t Lane __attribute__((vector_size(64)));
#define TAVRIN_HAS_POPCNT 1
#define TAVRIN_LANES 8
#include "game/kernel_body.h"

namespace tavrin::kernels {
const KernelOps AVX512 = {prepare, any, anchors, list, mark, nth};
}  // namespace tavrin::kernels
#endif
