#include "game/moves.h"

#include <atomic>
#include <bit>
#include <cstdio>
#include <cstdlib>

#include "game/kernels.h"

namespace tavrin {
namespace {

// The CpuFeature bits of this CPU.
unsigned cpu_features() noexcept {
    unsigned f = 0;
#ifdef TAVRIN_X86_KERNELS
    __builtin_cpu_init();
    const auto add = [&](bool has, kernels::CpuFeature bit) { f |= has ? bit : 0u; };
    add(__builtin_cpu_supports("avx2"), kernels::CPU_AVX2);
    add(__builtin_cpu_supports("bmi"), kernels::CPU_BMI);
    add(__builtin_cpu_supports("bmi2"), kernels::CPU_BMI2);
    add(__builtin_cpu_supports("popcnt"), kernels::CPU_POPCNT);
    add(__builtin_cpu_supports("avx512f"), kernels::CPU_AVX512F);
    add(__builtin_cpu_supports("avx512bw"), kernels::CPU_AVX512BW);
    add(__builtin_cpu_supports("avx512vl"), kernels::CPU_AVX512VL);
#endif
    return f;
}

// The kernels of this build, narrowest first.
const Kernel* const KERNELS[] = {
    &kernels::PORTABLE,
#ifdef TAVRIN_X86_KERNELS
    &kernels::AVX2,
    &kernels::AVX512,
#endif
};

const Kernel* choose_kernel() noexcept {
    const Kernel* best = &kernels::PORTABLE;
    for (const Kernel* k : KERNELS)
        if (kernel_supported(*k)) best = k;
    const char* forced = std::getenv("TAVRIN_KERNEL");
    if (forced == nullptr || *forced == '\0') return best;
    const Kernel* k = kernel_from_name(forced);
    if (k != nullptr && kernel_supported(*k)) return k;
    std::fprintf(stderr, "tavrin: TAVRIN_KERNEL=%s is %s; using %s\n", forced,
                 k != nullptr ? "not supported by this CPU" : "not a kernel of this build", best->name);
    return best;
}

kernels::Input input_of(const PlacementMasks& m) noexcept {
    kernels::Input in{};
    for (unsigned j = 0; j < Bitboard::WORDS; ++j) {
        in.free[j] = VALID_CELLS.word(j) & ~m.blocked.word(j);
        in.corners[j] = m.corners.word(j);
    }
    return in;
}

// The anchor boards of every legal placement; returns their number.
std::size_t find_anchors(const ActionSet& set, const PlacementMasks& m, std::uint32_t pieces, const Kernel& k,
                         kernels::AnchorWords& out) noexcept {
    return k.anchors(set.shapes, input_of(m), pieces, out);
}

constexpr unsigned WORDS_NONE = ~0u;

// The placement a kernel's `any` reported, or nothing for its "none".
std::optional<FoundMove> found_move(std::uint32_t hit) noexcept {
    if (hit == 0) return std::nullopt;
    return FoundMove{static_cast<std::uint8_t>((hit - 1) / 512), static_cast<std::uint16_t>((hit - 1) % 512)};
}

// The single cell on `position`: the only orientation of the kind I1.
FoundMove single_cell(const ActionSet& set, unsigned position) noexcept {
    return FoundMove{set.shapes.kind_shapes[0], static_cast<std::uint16_t>(position)};
}

// The search input of `agent` in its own frame, where its start cell is position 0.
kernels::Input own_frame_input(const Game& game, std::size_t agent, const Kernel& k) {
    if (agent >= AGENT_COUNT) fail_index(agent, AGENT_COUNT);
    kernels::Cells c;
    Bitboard occ;
    for (const Agent& a : game.agents) occ |= a.seen_by(agent);
    game.agents[agent].seen_by(agent).write_words(c.own);
    occ.write_words(c.occupied);
    c.start = 0;
    kernels::Input in;
    k.prepare(c, in);
    return in;
}

}  // namespace

std::span<const Kernel* const> all_kernels() noexcept { return KERNELS; }

const Kernel* kernel_from_name(std::string_view name) noexcept {
    for (const Kernel* k : KERNELS)
        if (k->name == name) return k;
    return nullptr;
}

bool kernel_supported(const Kernel& k) noexcept {
    static const unsigned features = cpu_features();
    return (k.needs & ~features) == 0;
}

namespace {
std::atomic<const Kernel*>& active() noexcept {
    static std::atomic<const Kernel*> k{choose_kernel()};
    return k;
}
}  // namespace

// Relaxed: every kernel gives the same results, so a search that sees the old choice is still right.
const Kernel& active_kernel() noexcept { return *active().load(std::memory_order_relaxed); }

bool select_kernel(const Kernel& k) noexcept {
    if (!kernel_supported(k)) return false;
    active().store(&k, std::memory_order_relaxed);
    return true;
}

BoardWords cells_of(const ActionSet& set, FoundMove m) noexcept {
    BoardWords w{};
    const kernels::Shape& shape = set.shapes.shapes[m.orientation % kernels::ORIENTATIONS];
    for (unsigned i = 0; i < shape.cells; ++i) {
        const unsigned p = (m.anchor + kernels::OFFSETS[shape.offsets[i]]) % BIT_COUNT;
        w[p / 64] |= std::uint64_t{1} << (p % 64);
    }
    return w;
}

std::optional<FoundMove> find_move(const ActionSet& set, const PlacementMasks& m, std::uint32_t pieces, const Kernel& k) {
    // No free corner, no move; holding I1 with one is a move.
    const Bitboard open = m.corners.and_not(m.blocked);
    if (!open.any_cell()) return std::nullopt;
    if (pieces & 1u) return single_cell(set, *open.ones().begin());
    return found_move(k.any(set.shapes, input_of(m), pieces));
}

std::optional<FoundMove> find_move_of(const Game& game, std::size_t i, const BoardWords& occ) {
    if (i >= AGENT_COUNT) fail_index(i, AGENT_COUNT);
    const Agent& agent = game.agents[i];
    const Kernel& k = active_kernel();
    kernels::Cells c;
    agent.cells.write_words(c.own);
    for (unsigned j = 0; j < Bitboard::WORDS; ++j) c.occupied[j] = occ[j];
    c.start = *START_CELLS[i].ones().begin();
    kernels::Input in;
    k.prepare(c, in);
    // No free corner, no move; holding I1 with one is a move.
    unsigned open = WORDS_NONE;
    for (unsigned j = 0; j < Bitboard::WORDS && open == WORDS_NONE; ++j)
        if (in.corners[j] != 0) open = j * 64 + static_cast<unsigned>(std::countr_zero(in.corners[j]));
    if (open == WORDS_NONE) return std::nullopt;
    if (agent.pieces & 1u) return single_cell(*game.action_set, open);
    return found_move(k.any(game.action_set->shapes, in, agent.pieces));
}

bool has_move(const ActionSet& set, const PlacementMasks& m, std::uint32_t pieces, const Kernel& k) {
    return find_move(set, m, pieces, k).has_value();
}

void list_moves(const ActionSet& set, const PlacementMasks& m, std::uint32_t pieces, Vec<std::uint16_t>& out,
                const Kernel& k) {
    kernels::AnchorWords b;
    const std::size_t n = find_anchors(set, m, pieces, k, b);
    out.resize(n + kernels::LIST_SLACK);
    k.list(set.shapes, b, out.data());
    out.resize(n);
}

std::size_t mark_moves(const ActionSet& set, const PlacementMasks& m, std::uint32_t pieces, std::uint8_t* mask,
                       const Kernel& k) {
    kernels::AnchorWords b;
    const std::size_t n = find_anchors(set, m, pieces, k, b);
    k.mark(b, mask);
    return n;
}

std::size_t count_moves(const ActionSet& set, const PlacementMasks& m, std::uint32_t pieces, const Kernel& k) {
    kernels::AnchorWords b;
    return find_anchors(set, m, pieces, k, b);
}

void legal_actions(const Game& game, std::size_t agent, Vec<std::uint16_t>& out) {
    kernels::AnchorWords b;
    const std::size_t n = legal_anchor_words(game, agent, b);
    out.resize(n + kernels::LIST_SLACK);
    active_kernel().list(game.action_set->shapes, b, out.data());
    out.resize(n);
}

std::size_t legal_anchor_words(const Game& game, std::size_t agent, kernels::AnchorWords& out) {
    const Kernel& k = active_kernel();
    const kernels::Input in = own_frame_input(game, agent, k);
    return k.anchors(game.action_set->shapes, in, game.agents[agent].pieces, out);
}

std::size_t legal_anchor_words(const Game& game, std::size_t agent, std::uint32_t kinds, kernels::AnchorWords& out) {
    const Kernel& k = active_kernel();
    const kernels::Input in = own_frame_input(game, agent, k);
    return k.anchors(game.action_set->shapes, in, game.agents[agent].pieces & kinds, out);
}

AnchorSearch::AnchorSearch(const Game& game, std::size_t agent)
    : set_(game.action_set), kernel_(&active_kernel()), in_(own_frame_input(game, agent, *kernel_)) {
    pieces_ = game.agents[agent].pieces;
}

std::size_t AnchorSearch::find(std::uint32_t kinds, kernels::AnchorWords& out) const {
    return kernel_->anchors(set_->shapes, in_, pieces_ & kinds, out);
}

std::uint32_t nth_anchor(const kernels::AnchorWords& b, std::size_t rank) noexcept {
    return active_kernel().nth(b, rank);
}

bool has_legal_action(const Game& game, std::size_t agent) {
    if (agent >= AGENT_COUNT) fail_index(agent, AGENT_COUNT);
    return has_move(*game.action_set, placement_masks(game, agent), game.agents[agent].pieces);
}

std::optional<std::uint32_t> random_legal_action(const Game& game, std::size_t agent, std::uint64_t random) {
    kernels::AnchorWords b;
    const std::size_t n = legal_anchor_words(game, agent, b);
    if (n == 0) return std::nullopt;
    return active_kernel().nth(b, static_cast<std::size_t>(random % n));
}

}  // namespace tavrin
