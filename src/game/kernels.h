// The whole-board move generator's inner loops, compiled once per instruction set
// (kernel_portable.cpp, kernel_avx2.cpp, kernel_avx512.cpp, each from kernel_body.h). Internal to
// the engine: callers go through moves.h, which picks the kernel.
//
// The wide kernels are built with -mavx2 or -mavx512* and may only run on CPUs that have them, so
// their files see nothing but this header: plain structs and no inline functions, whose
// out-of-line copies the linker could otherwise take from a wide file for the whole program.
#pragma once

#include <cstddef>
#include <cstdint>

#include "game/bitboard/geometry.h"

namespace tavrin::kernels {

inline constexpr unsigned ORIENTATIONS = 91;
inline constexpr unsigned KINDS = 21;
inline constexpr unsigned WORDS = 8;  // 64-bit words of a board

// Cell offsets from an anchor: row dr and column dc of an orientation's box become dr × 21 + dc.
// Cells of a shape of at most five cells satisfy dr + dc <= 4, so these 15 cover every shape.
inline constexpr unsigned OFFSET_COUNT = 15;
inline constexpr std::uint8_t OFFSETS[OFFSET_COUNT] = {0, 1, 2, 3, 4, 21, 22, 23, 24, 42, 43, 44, 63, 64, 84};

// One orientation as the generator reads it. Its placement at anchor position q = dy × 21 + dx is
// action `first` + q - dy × `width`, grid index orientation × 400 + q - dy.
struct Shape {
    std::uint8_t offsets[5];  // indexes into OFFSETS; a shape of fewer cells repeats its first
                              // (AND and OR are idempotent, so every shape costs the same)
    std::uint8_t kind;        // kind index
    std::uint8_t cells;       // distinct entries of offsets
    std::uint8_t width;       // columns of its box
    std::uint8_t height;      // rows of its box
    std::uint16_t first;      // action number at anchor (0, 0)
    // offsets[i] × BOARD_BYTES: where the generator finds each cell's moved boards, with no
    // index arithmetic in its innermost loop
    std::uint16_t at[5];
};

inline constexpr unsigned BOARD_BYTES = WORDS * 8;

struct ShapeTable {
    Shape shapes[ORIENTATIONS];           // by orientation number
    std::uint8_t kind_shapes[KINDS + 1];  // kind n's orientations are kind_shapes[n] to kind_shapes[n + 1] - 1
};

// A board as 64-bit words, position p at bit p % 64 of word p / 64, with two zero words after the
// last so that a board moved back by the widest offset (84) reads in bounds.
struct Input {
    alignas(64) std::uint64_t free[WORDS + 2];
    alignas(64) std::uint64_t corners[WORDS + 2];
};

// One agent's side of the board, in one frame: its cells, every agent's cells (its own among them)
// and its start position, its only corner before its first piece.
struct Cells {
    alignas(64) std::uint64_t own[WORDS];
    alignas(64) std::uint64_t occupied[WORDS];
    unsigned start;
};

// The legal anchors as one flat list of non-zero board words, in orientation order, then word
// order: walking it needs no nested loops over orientations and words, whose exits a branch
// predictor cannot learn. Entry i holds the anchors of orientation orientation[i] in word word[i]
// of its board. Room is left for a whole board's words past the last orientation.
struct AnchorWords {
    unsigned count;
    std::uint8_t orientation[ORIENTATIONS * WORDS + WORDS];
    std::uint8_t word[ORIENTATIONS * WORDS + WORDS];
    std::uint32_t before[ORIENTATIONS * WORDS + WORDS];  // anchors before entry i (the wide kernels only)
    alignas(64) std::uint64_t bits[ORIENTATIONS * WORDS + WORDS];
};

// Entries a list may write past its end.
inline constexpr unsigned LIST_SLACK = 3;

// What a kernel needs of the CPU, as bits; the engine runs a kernel only where the CPU has them all.
enum CpuFeature : unsigned {
    CPU_AVX2 = 1u << 0,
    CPU_BMI = 1u << 1,
    CPU_BMI2 = 1u << 2,
    CPU_POPCNT = 1u << 3,
    CPU_AVX512F = 1u << 4,
    CPU_AVX512BW = 1u << 5,
    CPU_AVX512VL = 1u << 6,
};

// One build of the generator: its name (what TAVRIN_KERNEL takes), the CPU features it needs, and
// its operations. Every kernel of a build is in one list (all_kernels() in moves.h), narrowest first.
struct Kernel {
    const char* name;
    unsigned needs;  // CpuFeature bits
    // The search input of `c` under the placement rules: free = not occupied and not edge-adjacent
    // to an own cell; corners = free cells diagonal to an own cell (the start cell before any).
    void (*prepare)(const Cells& c, Input& in) noexcept;
    // The first legal placement of a kind whose bit is set in `pieces`, searched kind by kind, as
    // 1 + orientation × 512 + anchor position; 0 when there is none.
    std::uint32_t (*any)(const ShapeTable& t, const Input& in, std::uint32_t pieces) noexcept;
    // Every legal placement of those kinds as anchor words; returns their number.
    std::size_t (*anchors)(const ShapeTable& t, const Input& in, std::uint32_t pieces, AnchorWords& out) noexcept;
    // The action numbers of every anchor in `b`, increasing, into `out`, which has room for
    // LIST_SLACK entries past them.
    void (*list)(const ShapeTable& t, const AnchorWords& b, std::uint16_t* out) noexcept;
    // Sets the byte of the grid index of every anchor in `b`.
    void (*mark)(const AnchorWords& b, std::uint8_t* mask) noexcept;
    // The grid index of the anchor of rank `rank` (from 0, in list order) in `b`, which has more.
    std::uint32_t (*nth)(const AnchorWords& b, std::size_t rank) noexcept;
};

extern const Kernel PORTABLE;
#ifdef TAVRIN_X86_KERNELS
extern const Kernel AVX2;
extern const Kernel AVX512;
#endif

}  // namespace tavrin::kernels
