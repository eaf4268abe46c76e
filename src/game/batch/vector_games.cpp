#include "game/batch/vector_games.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "game/error.h"
#include "game/moves.h"
#include "game/observation.h"
#include "game/rules.h"

namespace tavrin::batch {
namespace {

// --- Bytes from bits ---

// SPREAD[b] holds byte j = bit j of b, in memory order.
inline constexpr auto SPREAD = [] {
    std::array<std::uint64_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b)
        for (unsigned j = 0; j < 8; ++j)
            if ((b >> j) & 1u) {
                const unsigned byte = std::endian::native == std::endian::little ? j : 7 - j;
                t[b] |= std::uint64_t{1} << (8 * byte);
            }
    return t;
}();

// The 20 cells of row r of `b`, column 0 in bit 0.
inline std::uint32_t row_bits(const Bitboard& b, unsigned r) noexcept {
    const unsigned p = r * ROW_STRIDE, w = p / 64, s = p % 64;
    std::uint64_t v = b.word(w) >> s;
    if (s > 64 - BOARD_SIDE) v |= b.word(w + 1) << (64 - s);
    return static_cast<std::uint32_t>(v & ((std::uint64_t{1} << BOARD_SIDE) - 1));
}

// 400 bytes, one per cell, every byte written: no clearing needed beforehand.
void write_plane(const Bitboard& b, std::uint8_t* out) noexcept {
    for (unsigned r = 0; r < BOARD_SIDE; ++r, out += BOARD_SIDE) {
        const std::uint32_t bits = row_bits(b, r);
        const std::uint64_t lo = SPREAD[bits & 0xff], mid = SPREAD[(bits >> 8) & 0xff];
        const std::uint64_t hi = SPREAD[(bits >> 16) & 0x0f];
        std::memcpy(out, &lo, 8);
        std::memcpy(out + 8, &mid, 8);
        std::memcpy(out + 16, &hi, 4);
    }
}

// `bytes` (a multiple of 16) from `from` (16-byte aligned) to `to`, with streaming stores when
// `to` is aligned too.
void stream_copy(std::uint8_t* to, const std::uint8_t* from, std::size_t bytes) noexcept {
#if defined(__SSE2__)
    if ((reinterpret_cast<std::uintptr_t>(to) & 15) == 0) {
        for (std::size_t j = 0; j < bytes; j += 16)
            _mm_stream_si128(reinterpret_cast<__m128i*>(to + j), _mm_load_si128(reinterpret_cast<const __m128i*>(from + j)));
        return;
    }
#endif
    std::memcpy(to, from, bytes);
}

// Makes the streaming stores of this thread visible before it reports its part done.
void end_writes() noexcept {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// A constant plane of 400 bytes. A plain loop of 16- or 8-byte stores, which the compiler widens:
// the library's memset pays a start-up cost on every call that a 400-byte fill does not repay.
void fill_plane(std::uint8_t* out, std::uint8_t value) noexcept {
#if defined(__SSE2__)
    // Planes start 16-byte aligned (400 bytes each, from a 64-byte aligned game). The cache lines
    // a plane fills whole go out with streaming stores, which skip reading the old line first: a
    // full observation rewrites dozens of these planes per ply, and that read doubled the memory
    // traffic. A line it shares with the next plane is written through the cache: a streamed
    // part of a line reaches memory as a slow partial write. Ordered by the fence at the end of
    // each part of a step (end_writes).
    if ((reinterpret_cast<std::uintptr_t>(out) & 15) == 0) {
        const __m128i v = _mm_set1_epi8(static_cast<char>(value));
        std::uint8_t* const end = out + PLANE_CELLS;
        std::uint8_t* const lines = reinterpret_cast<std::uint8_t*>((reinterpret_cast<std::uintptr_t>(out) + 63) & ~std::uintptr_t{63});
        std::uint8_t* const lines_end = reinterpret_cast<std::uint8_t*>(reinterpret_cast<std::uintptr_t>(end) & ~std::uintptr_t{63});
        std::uint8_t* p = out;
        for (; p < lines; p += 16) _mm_store_si128(reinterpret_cast<__m128i*>(p), v);
        for (; p < lines_end; p += 16) _mm_stream_si128(reinterpret_cast<__m128i*>(p), v);
        for (; p < end; p += 16) _mm_store_si128(reinterpret_cast<__m128i*>(p), v);
        return;
    }
#endif
    const std::uint64_t word = value * 0x0101010101010101ull;
    for (std::size_t j = 0; j < PLANE_CELLS; j += 8) std::memcpy(out + j, &word, 8);
}

// Word w of `bits` without the bits below `from`.
std::uint64_t word_from(const LegalBits& bits, std::size_t w, std::size_t from) noexcept {
    if (w > from / 64) return bits.words[w];
    if (w < from / 64) return 0;
    return bits.words[w] & (~std::uint64_t{0} << (from % 64));
}

// The k-th set bit (from 0) at or above bit `from`; the caller knows it exists.
std::uint32_t select_from(const LegalBits& bits, std::size_t from, std::size_t k) {
    for (std::size_t d = 0; d < SUMMARY_WORDS; ++d) {
        for (std::uint64_t summary = bits.nonzero[d]; summary != 0; summary &= summary - 1) {
            const std::size_t w = 64 * d + static_cast<unsigned>(std::countr_zero(summary));
            std::uint64_t v = word_from(bits, w, from);
            const auto n = static_cast<std::size_t>(std::popcount(v));
            if (k >= n) {
                k -= n;
                continue;
            }
            for (; k > 0; --k) v &= v - 1;
            return static_cast<std::uint32_t>(64 * w + static_cast<unsigned>(std::countr_zero(v)));
        }
    }
    fail_index(k, bits.count);
}

}  // namespace

// The refusal of a checked batch: parts are consecutive ranges in order, so the first error
// found is the lowest game's.
static BatchError lowest_error(const std::vector<std::optional<BatchError>>& by_part) {
    for (const auto& error : by_part)
        if (error) return *error;
    fail("a refused batch without an error");
}

// --- Legal sets and streams ---

void legal_bits(const Game& game, LegalBits& out) {
    out.clear();
    const std::size_t a = game.agent_selection;
    if (a >= AGENT_COUNT) fail_index(a, AGENT_COUNT);
    const Agent& agent = game.agents[a];
    if (agent.done) return;
    for_each_legal_action(game, a, [&](std::uint32_t g) { out.add(g); });
}

std::uint32_t select_legal(const LegalBits& bits, std::size_t k) { return select_from(bits, 0, k); }

// --- Construction ---

namespace {
// Arrays from this size up are mapped on their own and asked for huge pages: a step writes a few
// scattered cache lines in each game's 36 KB mask row and 40 KB of planes, and with 4 KB pages
// nearly every such write would also miss the TLB.
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
}  // namespace

void ArrayFree::operator()(void* p) const noexcept {
#if defined(__linux__)
    if (base != nullptr) {
        ::munmap(base, bytes);
        return;
    }
#endif
    std::free(p);
}

template <class T>
VectorGames::Array<T> VectorGames::allocate(std::size_t count) {
    if (count == 0) return Array<T>();
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T) - HUGE_PAGE) throw std::bad_alloc();
    const std::size_t bytes = count * sizeof(T);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= HUGE_PAGE) {
        // Anonymous pages read as zero and are mapped on first touch, like calloc's; one huge page
        // more than needed lets the array start on a huge-page boundary.
        const std::size_t mapped = bytes + HUGE_PAGE;
        void* base = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) throw std::bad_alloc();
        const auto start = (reinterpret_cast<std::uintptr_t>(base) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
        // Advice only: without huge pages the array works the same, a little slower.
        (void)::madvise(reinterpret_cast<void*>(start), bytes, MADV_HUGEPAGE);
        return Array<T>(reinterpret_cast<T*>(start), Free{base, mapped});
    }
#endif
    // calloc: zeroed pages are mapped on first touch, so an unused array costs nothing.
    void* p = std::calloc(count, sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return Array<T>(static_cast<T*>(p));
}

std::size_t VectorGames::observation_channels(ObservationMode mode) noexcept {
    switch (mode) {
        case ObservationMode::Full:
            return FULL_CHANNELS;
        case ObservationMode::Compact:
            return BOARD_CHANNELS;
        default:
            return 0;
    }
}

std::size_t VectorGames::bytes_per_game(ObservationMode mode, bool mask) noexcept {
    std::size_t bytes = sizeof(Game) + sizeof(StateBytes) + sizeof(Stream) + sizeof(std::int8_t) + AGENT_COUNT * sizeof(float) +
                        sizeof(std::uint8_t) + AGENT_COUNT * sizeof(std::int16_t);
    bytes += observation_channels(mode) * PLANE_CELLS;
    if (mode != ObservationMode::None) bytes += PIECE_CHANNELS + AGENT_COUNT;
    if (mask) bytes += GRID_SIZE + Config{}.kept_legal * sizeof(std::uint16_t) + sizeof(std::uint32_t);
    else bytes += sizeof(std::int32_t);  // the sample drawn ahead
    bytes += sizeof(std::int32_t);       // the last sample
    bytes += AGENT_COUNT;                // the lineup
    return bytes;
}

VectorGames::VectorGames(const Config& config)
    : config_(config), set_(&ActionSet::get()), pool_(std::max<std::size_t>(config.threads, 1)) {
    const std::size_t n = config_.num_games;
    config_.threads = pool_.threads();
    bool outside = false;
    for (const Seat seat : config_.seats) {
        if (static_cast<std::size_t>(seat) >= SEAT_KINDS) throw std::invalid_argument("unknown seat policy");
        outside = outside || played_outside(seat);
    }
    // A new game with no seat played outside would end inside the step that started it, and
    // autoreset would start another at once: refuse rather than replay for ever.
    if (!outside && config_.autoreset)
        throw std::invalid_argument("a lineup without a learner or external seat needs autoreset off");
    (void)OrientationTable::get();
    scratch_bits_.resize(pool_.threads());
    if (std::find(config_.seats.begin(), config_.seats.end(), Seat::Search) != config_.seats.end()) {
        if (static_cast<std::size_t>(config_.search_rollout) >= POLICY_COUNT)
            throw std::invalid_argument("unknown search playout policy");
        if (config_.search_playouts == 0 || config_.search_playouts > search::MAX_PLAYOUTS)
            throw std::invalid_argument("search playouts must be from 1 to " + std::to_string(search::MAX_PLAYOUTS));
        searchers_.resize(pool_.threads());
        for (search::Searcher& s : searchers_) s.reserve(config_.search_playouts);
    }
    games_ = allocate<Game>(n);
    finals_ = allocate<StateBytes>(n);
    streams_ = allocate<Stream>(n);
    const std::size_t channels = observation_channels(config_.observation);
    if (channels > 0) {
        observation_ = allocate<std::uint8_t>(n * channels * PLANE_CELLS);
        pieces_ = allocate<std::uint8_t>(n * PIECE_CHANNELS);
        done_ = allocate<std::uint8_t>(n * AGENT_COUNT);
    }
    if (!config_.mask) drawn_ = allocate<std::int32_t>(n);
    sampled_ = allocate<std::int32_t>(n);
    if (config_.mask) {
        mask_ = allocate<std::uint8_t>(n * GRID_SIZE);
        config_.kept_legal = std::min(config_.kept_legal, GRID_SIZE);
        legal_list_ = allocate<std::uint16_t>(n * config_.kept_legal);
        legal_count_ = allocate<std::uint32_t>(n);
    }
    lineup_ = allocate<std::uint8_t>(n * AGENT_COUNT);
    current_player_ = allocate<std::int8_t>(n);
    rewards_ = allocate<float>(n * AGENT_COUNT);
    terminated_ = allocate<std::uint8_t>(n);
    final_scores_ = allocate<std::int16_t>(n * AGENT_COUNT);
    reset(0);
}

// --- Outputs ---

void VectorGames::write_observation(std::size_t i, const Game& game) {
    const std::size_t channels = observation_channels(config_.observation);
    const Observation obs = observe(game, game.agent_selection);
    std::uint8_t* planes = observation_.get() + i * channels * PLANE_CELLS;
    // The 12 board planes are built on the stack and streamed out whole (4,800 bytes, whole
    // cache lines from a 64-byte aligned game).
    alignas(16) std::uint8_t board[BOARD_CHANNELS * PLANE_CELLS];
    for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
        write_plane(obs.occupied[k], board + k * PLANE_CELLS);
        write_plane(obs.corners[k], board + (AGENT_COUNT + k) * PLANE_CELLS);
        write_plane(obs.blocked[k], board + (2 * AGENT_COUNT + k) * PLANE_CELLS);
    }
    stream_copy(planes, board, sizeof board);
    // The constant planes are rewritten only where their value changed: the small arrays hold
    // the values the planes were last filled with.
    const bool full = config_.observation == ObservationMode::Full;
    std::uint8_t* pieces = pieces_.get() + i * PIECE_CHANNELS;
    std::uint8_t* done = done_.get() + i * AGENT_COUNT;
    for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
        for (std::size_t n = 0; n < KIND_COUNT; ++n) {
            const auto bit = static_cast<std::uint8_t>((obs.pieces[k] >> n) & 1u);
            std::uint8_t& old = pieces[k * KIND_COUNT + n];
            if (bit == old) continue;
            old = bit;
            if (full) fill_plane(planes + (BOARD_CHANNELS + k * KIND_COUNT + n) * PLANE_CELLS, bit);
        }
        const std::uint8_t flag = obs.done[k] ? 1 : 0;
        if (flag == done[k]) continue;
        done[k] = flag;
        if (full) fill_plane(planes + (BOARD_CHANNELS + PIECE_CHANNELS + k) * PLANE_CELLS, flag);
    }

}

void VectorGames::write_mask(std::size_t i, const Game& game) {
    static_assert(GRID_SIZE <= std::numeric_limits<std::uint16_t>::max() + std::size_t{1});
    const std::size_t capacity = config_.kept_legal;
    std::uint16_t* list = legal_list_.get() + i * capacity;
    std::uint32_t& count = legal_count_[i];
    std::uint8_t* row = mask_.get() + i * GRID_SIZE;
    // A legal set is a couple of hundred of 36,400 placements and the agent to move changes every
    // ply, so the old and new sets hardly overlap: clearing the old ones byte by byte and setting
    // the new ones touches only their cache lines.
    if (count > capacity) {
        std::memset(row, 0, GRID_SIZE);
    } else {
        for (std::uint32_t k = 0; k < count; ++k) row[list[k]] = 0;
    }
    count = 0;
    const std::size_t a = game.agent_selection;
    if (a >= AGENT_COUNT) fail_index(a, AGENT_COUNT);
    if (game.agents[a].done) return;
    std::uint32_t n = 0;
    for_each_legal_action(game, a, [&](std::uint32_t g) {
        row[g] = 1;
        if (n < capacity) list[n] = static_cast<std::uint16_t>(g);
        ++n;
    });
    count = n;
}

std::optional<std::span<const std::uint16_t>> VectorGames::legal_list_of(std::size_t i) const {
    if (!config_.mask || legal_count_[i] > config_.kept_legal) return std::nullopt;
    return std::span<const std::uint16_t>(legal_list_.get() + i * config_.kept_legal, legal_count_[i]);
}

void VectorGames::write_outputs(std::size_t i, const Game& game) {
    const bool over = is_over(game);
    current_player_[i] = over ? std::int8_t{-1} : static_cast<std::int8_t>(game.agent_selection);
    if (config_.observation != ObservationMode::None) write_observation(i, game);
    if (config_.mask) {
        write_mask(i, game);
    }
}

void VectorGames::start_game(std::size_t i, Game& game) {
    game = new_game(*set_);
    const std::size_t turn = config_.rotate_seats ? static_cast<std::size_t>(streams_[i].below(AGENT_COUNT)) : 0;
    std::uint8_t* lineup = lineup_.get() + i * AGENT_COUNT;
    for (std::size_t a = 0; a < AGENT_COUNT; ++a)
        lineup[a] = static_cast<std::uint8_t>(config_.seats[(a + turn) % AGENT_COUNT]);
}

void VectorGames::play_engine_seats(std::size_t part, std::size_t i, Game& game) {
    const std::uint8_t* lineup = lineup_.get() + i * AGENT_COUNT;
    for (;;) {
        skip_passes(game);
        if (is_over(game)) return;
        const auto seat = static_cast<Seat>(lineup[game.agent_selection]);
        if (played_outside(seat)) return;
        std::optional<std::uint32_t> g;
        if (seat == Seat::Search) {
            const search::SearchConfig search{.playouts = config_.search_playouts, .rollout = config_.search_rollout};
            g = searchers_[part].search(game, search, streams_[i]).move;
        } else {
            const auto policy = static_cast<Policy>(static_cast<unsigned>(seat) - static_cast<unsigned>(Seat::Random));
            g = pick(game, policy, streams_[i]);
        }
        if (!g) fail("the agent to move has no legal placement");
        if (tavrin::step(game, static_cast<std::size_t>(*g))) fail("an engine seat's placement was refused");
    }
}

void VectorGames::finish_turns(std::size_t part, std::size_t i, Game& game, bool was_over, bool stepped, bool autoreset) {
    float* rewards = rewards_.get() + i * AGENT_COUNT;
    std::int16_t* final_scores = final_scores_.get() + i * AGENT_COUNT;
    std::fill_n(rewards, AGENT_COUNT, 0.0f);
    std::fill_n(final_scores, AGENT_COUNT, std::int16_t{0});
    terminated_[i] = 0;
    // A game over before this step (loaded finished, or ended on a step with autoreset's start
    // left for the next) starts anew.
    if (was_over && stepped && autoreset) {
        start_game(i, game);
        was_over = false;
    }
    play_engine_seats(part, i, game);
    if (!is_over(game)) return;
    if (!was_over) {  // ended in this call
        const std::optional<Outcome> outcome = tavrin::outcome(game, config_.reward_mode);
        if (!outcome) fail("a finished game has no outcome");
        std::copy(outcome->begin(), outcome->end(), rewards);
        const Scores s = scores(game);
        std::copy(s.begin(), s.end(), final_scores);
        terminated_[i] = 1;
        if (autoreset && stepped) {
            finals_[i] = tavrin::to_bytes(game);
            // A seat played outside has its first move in every new game, so this one cannot end
            // before the caller is asked for it.
            start_game(i, game);
            play_engine_seats(part, i, game);
        }
        return;
    }
    // Over before this call and kept finished.
    if (autoreset) return;
    const Scores s = scores(game);
    std::copy(s.begin(), s.end(), final_scores);
    terminated_[i] = 1;
}

// --- Operations ---

void VectorGames::catch_up_stream(std::size_t i, const Game& sampled) noexcept {
    if (samples_.streams_behind && !is_over(sampled)) (void)streams_[i].next();
}

void VectorGames::reset(std::optional<std::uint64_t> seed, std::span<const std::uint8_t> which,
                        std::uint64_t first_game) {
    if (!which.empty() && which.size() != size()) fail_index(which.size(), size());
    samples_.games_changed();
    pool_.run(size(), [&](std::size_t part, std::size_t begin, std::size_t end) {
        Game* games = game_array();
        for (std::size_t i = begin; i < end; ++i) {
            catch_up_stream(i, games[i]);
            if (!which.empty() && which[i] == 0) continue;
            if (seed) streams_[i] = Stream::for_game(*seed, first_game + i);
            start_game(i, games[i]);
            finish_turns(part, i, games[i], false, false, config_.autoreset);
            write_outputs(i, games[i]);
        }
        end_writes();
    });
    samples_.streams_behind = false;
}

std::optional<BatchError> VectorGames::step(std::span<const std::int32_t> actions,
                                            std::span<const std::uint8_t> which) {
    if (actions.size() != size()) fail_index(actions.size(), size());
    if (!which.empty() && which.size() != size()) fail_index(which.size(), size());
    samples_.drawn = false;
    const bool draw = samples_.random_since_step && !config_.mask;
    samples_.random_since_step = false;
    std::vector<std::optional<BatchError>> first(pool_.threads());
    // Every action is checked before any game changes, so a refused batch changes nothing. An
    // action this batch's last sample chose is legal.
    const std::int32_t* sampled = samples_.sampled ? sampled_.get() : nullptr;
    const auto check = [&](std::size_t part, std::size_t begin, std::size_t end) {
        const Game* games = game_array();
        for (std::size_t i = begin; i < end; ++i) {
            const Game& game = games[i];
            if (!which.empty() && which[i] == 0) continue;
            // The range is checked for every game, finished ones too, so that a batch is valid or
            // not whatever state its games are in.
            const std::int32_t a = actions[i];
            if (a < 0 || static_cast<std::size_t>(a) >= GRID_SIZE) {
                first[part] = BatchError{BatchError::Reason::OutOfRange, i, a, game.agent_selection};
                return false;
            }
            if (sampled != nullptr && a == sampled[i]) continue;
            if (!is_over(game) && !would_step(game, static_cast<std::size_t>(a))) {
                first[part] = BatchError{BatchError::Reason::Illegal, i, a, game.agent_selection};
                return false;
            }
        }
        return true;
    };
    const auto commit = [&](std::size_t part, std::size_t begin, std::size_t end) {
        Game* games = game_array();
        for (std::size_t i = begin; i < end; ++i) {
            Game& game = games[i];
            const bool was_over = is_over(game);
            catch_up_stream(i, game);
            if (!which.empty() && which[i] == 0) {
                if (draw) drawn_[i] = draw_random(i, game);
                continue;
            }
            if (!was_over && tavrin::step(game, static_cast<std::size_t>(actions[i]))) fail("a checked action was refused");
            finish_turns(part, i, game, was_over, true, config_.autoreset);
            write_outputs(i, game);
            if (draw) drawn_[i] = draw_random(i, game);
        }
        end_writes();
    };
    if (!pool_.run_checked(size(), check, commit)) return lowest_error(first);
    samples_.streams_behind = false;
    samples_.drawn = draw;
    samples_.sampled = false;
    return std::nullopt;
}

std::int32_t VectorGames::draw_random(std::size_t i, const Game& game) const {
    if (is_over(game)) return 0;
    Stream stream = streams_[i];
    const auto g = random_legal_action(game, game.agent_selection, stream.next());
    if (!g) fail("the agent to move has no legal placement");
    return static_cast<std::int32_t>(*g);
}

void VectorGames::sample_actions(Policy policy, std::span<std::int32_t> out) {
    sample_actions(std::span<const Policy>(&policy, 1), out);
}

void VectorGames::sample_actions(std::span<const Policy> policies, std::span<std::int32_t> out) {
    if (out.size() != size()) fail_index(out.size(), size());
    if (policies.size() != 1 && policies.size() != size()) fail_index(policies.size(), size());
    for (const Policy p : policies)
        if (static_cast<std::size_t>(p) >= POLICY_COUNT) fail_index(static_cast<std::size_t>(p), POLICY_COUNT);
    const bool all_random = policies.size() == 1 && policies[0] == Policy::Random;
    const bool drawn = std::exchange(samples_.drawn, false) && all_random;
    if (all_random) samples_.random_since_step = true;
    samples_.sampled = false;
    if (drawn) {
        // Copies, not worth waking the pool for; the owing streams move on in the threads whose
        // caches hold them.
        std::memcpy(out.data(), drawn_.get(), size() * sizeof(std::int32_t));
        std::swap(drawn_, sampled_);
        samples_.sampled = true;
        samples_.streams_behind = true;
        return;
    }
    pool_.run(size(), [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const Game& game = game_array()[i];
            catch_up_stream(i, game);
            out[i] = 0;
            if (is_over(game)) continue;
            const Policy policy = policies[policies.size() == 1 ? 0 : i];
            // The kept list, when it holds the whole legal set, saves the search; both pick the same.
            const auto list = legal_list_of(i);
            const auto g = list ? pick_from_list(*list, policy, streams_[i]) : pick(game, policy, streams_[i]);
            if (!g) fail("the agent to move has no legal placement");
            out[i] = static_cast<std::int32_t>(*g);
        }
    });
    samples_.streams_behind = false;
    std::memcpy(sampled_.get(), out.data(), size() * sizeof(std::int32_t));
    samples_.sampled = true;
}

void VectorGames::play_out(std::span<const Seat, AGENT_COUNT> seats, const search::SearchConfig& search,
                           std::size_t max_plies, std::uint8_t* states, std::uint16_t* actions, std::int8_t* agents,
                           std::int16_t* plies) {
    bool searching = false;
    for (const Seat seat : seats) {
        if (static_cast<std::size_t>(seat) >= SEAT_KINDS || played_outside(seat))
            throw std::invalid_argument("play_out plays engine seats only");
        searching = searching || seat == Seat::Search;
    }
    if (searching && searchers_.size() < pool_.threads()) {  // before the threads start: they share the vector
        searchers_.resize(pool_.threads());
        for (search::Searcher& s : searchers_) s.reserve(search.playouts);
    }
    samples_.games_changed();
    pool_.run(size(), [&](std::size_t part, std::size_t begin, std::size_t end) {
        Game* games = game_array();
        for (std::size_t i = begin; i < end; ++i) {
            Game& game = games[i];
            catch_up_stream(i, game);
            const bool was_over = is_over(game);
            std::size_t n = 0;
            for (;;) {
                skip_passes(game);
                if (is_over(game)) break;
                if (n >= max_plies) fail("a game longer than its record");
                const std::size_t row = i * max_plies + n;
                const StateBytes bytes = tavrin::to_bytes(game);
                std::memcpy(states + row * STATE_SIZE, bytes.data(), STATE_SIZE);
                const std::size_t agent = game.agent_selection;
                const Seat seat = seats[agent];
                const auto g = seat == Seat::Search
                                   ? searchers_[part].search(game, search, streams_[i]).move
                                   : pick(game, static_cast<Policy>(static_cast<unsigned>(seat) - static_cast<unsigned>(Seat::Random)),
                                          streams_[i]);
                if (!g) fail("the agent to move has no legal placement");
                if (tavrin::step(game, static_cast<std::size_t>(*g))) fail("an engine pick was refused");
                actions[row] = static_cast<std::uint16_t>(*g);
                agents[row] = static_cast<std::int8_t>(agent);
                ++n;
            }
            plies[i] = static_cast<std::int16_t>(n);
            finish_turns(part, i, game, was_over, true, false);  // kept finished, as documented
            write_outputs(i, game);
        }
        end_writes();
    });
    samples_.streams_behind = false;
}

void VectorGames::legal_actions(std::vector<std::int64_t>& offsets, std::vector<std::int32_t>& actions) {
    std::vector<std::vector<std::int32_t>> parts(pool_.threads());
    offsets.assign(size() + 1, 0);
    pool_.run(size(), [&](std::size_t part, std::size_t begin, std::size_t end) {
        std::vector<std::int32_t>& list = parts[part];
        for (std::size_t i = begin; i < end; ++i) {
            const Game& game = game_array()[i];
            if (is_over(game)) continue;
            if (const auto kept = legal_list_of(i)) {
                offsets[i + 1] = static_cast<std::int64_t>(kept->size());
                list.insert(list.end(), kept->begin(), kept->end());
                continue;
            }
            LegalBits& bits = scratch_bits_[part];
            legal_bits(game, bits);
            offsets[i + 1] = static_cast<std::int64_t>(bits.count);
            bits.for_each_word([&](std::size_t w) {
                for (std::uint64_t v = bits.words[w]; v != 0; v &= v - 1)
                    list.push_back(static_cast<std::int32_t>(64 * w + static_cast<unsigned>(std::countr_zero(v))));
            });
        }
    });
    for (std::size_t i = 0; i < size(); ++i) offsets[i + 1] += offsets[i];
    actions.clear();
    actions.reserve(static_cast<std::size_t>(offsets[size()]));
    for (const auto& list : parts) actions.insert(actions.end(), list.begin(), list.end());
}

std::optional<BatchError> VectorGames::load(std::span<const std::uint8_t> states) {
    if (states.size() != size() * STATE_SIZE) fail_index(states.size(), size() * STATE_SIZE);
    samples_.games_changed();
    std::vector<std::optional<BatchError>> first(pool_.threads());
    // Every state is read twice, to check it and then to set the game: a load is rare, and a
    // second buffer of games for it would double the memory of the games.
    const auto check = [&](std::size_t part, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (!from_bytes(states.data() + i * STATE_SIZE, STATE_SIZE)) {
                first[part] = BatchError{BatchError::Reason::InvalidState, i, 0, 0};
                return false;
            }
        }
        return true;
    };
    const auto commit = [&](std::size_t part, std::size_t begin, std::size_t end) {
        Game* games = game_array();
        for (std::size_t i = begin; i < end; ++i) {
            std::optional<Game> game = from_bytes(states.data() + i * STATE_SIZE, STATE_SIZE);
            if (!game) fail("a checked state does not read");
            catch_up_stream(i, games[i]);
            games[i] = *game;
            finish_turns(part, i, games[i], is_over(*game), false, config_.autoreset);
            write_outputs(i, games[i]);
        }
        end_writes();
    };
    if (!pool_.run_checked(size(), check, commit)) return lowest_error(first);
    samples_.streams_behind = false;
    return std::nullopt;
}

void VectorGames::to_bytes(std::span<std::uint8_t> out) {
    if (out.size() != size() * STATE_SIZE) fail_index(out.size(), size() * STATE_SIZE);
    pool_.run(size(), [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const StateBytes bytes = tavrin::to_bytes(game_array()[i]);
            std::memcpy(out.data() + i * STATE_SIZE, bytes.data(), STATE_SIZE);
        }
    });
}

const Game& VectorGames::game(std::size_t i) const {
    if (i >= size()) fail_index(i, size());
    return game_array()[i];
}

std::optional<StateBytes> VectorGames::final_state(std::size_t i) const {
    if (i >= size()) fail_index(i, size());
    if (!terminated_[i]) return std::nullopt;
    return config_.autoreset ? finals_[i] : tavrin::to_bytes(game_array()[i]);
}

std::optional<Game> VectorGames::final_game(std::size_t i) const {
    const std::optional<StateBytes> state = final_state(i);
    if (!state) return std::nullopt;
    std::optional<Game> game = from_bytes(state->data(), state->size());
    if (!game) fail("a final state does not read back");
    return game;
}

}  // namespace tavrin::batch
