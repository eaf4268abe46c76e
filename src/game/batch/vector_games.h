// Many games stepped together: one object owns N games and the arrays a learner reads, rewrites
// those arrays in place on every step, and spreads the games over a pool of threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "game/actions/actions.h"
#include "game/agents/policies.h"
#include "game/batch/arrays.h"
#include "game/batch/sampling.h"
#include "game/batch/thread_pool.h"
#include "game/game.h"
#include "game/net/net.h"
#include "game/scores.h"
#include "game/search/mcts.h"
#include "game/state_bytes.h"

namespace tavrin::batch {

// --- Layout of the output arrays ---

enum class ObservationMode : std::uint8_t { None = 0, Compact = 1, Full = 2 };

// Who plays a seat. A learner's or an external seat's moves come from the caller through `step`
// (learner and external differ only in what the caller does with them: an external seat is a
// frozen policy, a person, another program); the engine plays the others inside `step`.
// A Net seat plays the net of its settings.
enum class Seat : std::uint8_t { Learner = 0, External = 1, Random = 2, Greedy = 3, Reach = 4, Search = 5, Net = 6 };
inline constexpr std::size_t SEAT_KINDS = 7;
constexpr bool played_outside(Seat s) noexcept { return s == Seat::Learner || s == Seat::External; }

// How one seat of a lineup plays, beside its Seat kind: each seat has its own, so that a batch may
// hold searches of different budgets, or nets, side by side. A kind reads only its own fields
// (Search: `search`, and `net` as its guide when set; Net: `net` and `sample`; later kinds add theirs here), and the others stay at their defaults, so that
// two seats of one kind play alike exactly when their settings are equal.
struct SeatSettings {
    search::SearchConfig search{};
    // The net a net seat plays, shared by every game (and every batch) that plays it; read only.
    std::shared_ptr<const net::Net> net;
    // A net seat draws its placement from the policy (one draw per placement from the game's
    // stream) instead of taking the most likely.
    bool sample = false;
};

// One child of a searched placement's root, for datasets: placement `ply` of its game (its row),
// the child's grid index and its visits. A search's entries sum to the playouts it made.
struct RootVisit {
    std::uint16_t ply = 0;
    std::uint16_t action = 0;
    std::uint32_t visits = 0;
};

inline constexpr std::size_t PLANE_CELLS = BOARD_SIDE * BOARD_SIDE;                       // 400
inline constexpr std::size_t BOARD_CHANNELS = 3 * AGENT_COUNT;                             // 12
inline constexpr std::size_t PIECE_CHANNELS = AGENT_COUNT * KIND_COUNT;                    // 84
inline constexpr std::size_t FULL_CHANNELS = BOARD_CHANNELS + PIECE_CHANNELS + AGENT_COUNT;  // 100
struct Config {
    std::size_t num_games = 1;
    std::size_t threads = 1;
    ObservationMode observation = ObservationMode::Full;
    bool mask = true;
    RewardMode reward_mode = RewardMode::WinShare;
    bool autoreset = true;
    // With the mask: the most legal placements kept per game as a sorted list for the samplers
    // and for clearing the mask row on the next step. A game with more (none seen in play) is
    // searched again when sampled and has its whole row cleared; results are the same.
    std::size_t kept_legal = 1024;
    // The policy of each agent; with rotate_seats, each new game turns the lineup by a number of
    // seats drawn from its stream, so that the seat of each policy varies from game to game.
    // At least one seat must be played outside when autoreset is on.
    std::array<Seat, AGENT_COUNT> seats{Seat::Learner, Seat::Learner, Seat::Learner, Seat::Learner};
    bool rotate_seats = false;
    // How each seat plays, by seat as in `seats` (they turn with it). Each game's searches and
    // draws come from the game's stream.
    std::array<SeatSettings, AGENT_COUNT> settings{};
};

// Why a batch was refused. `game` is the lowest index whose input was refused; no game changed.
struct BatchError {
    enum class Reason : std::uint8_t { OutOfRange, Illegal, InvalidState };
    Reason reason = Reason::Illegal;
    std::size_t game = 0;
    std::int64_t action = 0;  // the refused action (OutOfRange, Illegal)
    std::size_t player = 0;   // the agent to move in that game (Illegal)
};

using tavrin::Stream;

// --- The batch ---

class VectorGames {
 public:
    // Allocates every array at its final size; throws std::bad_alloc when memory is short,
    // std::invalid_argument for a lineup that autoreset would replay for ever, PoolStartError when
    // the threads cannot start.
    explicit VectorGames(const Config& config);

    // Every game new, or those with a nonzero byte in `which` (N bytes; empty: all); their
    // streams are reseeded from `seed` and their number, first_game + i, when a seed is given.
    // The engine's seats then play until a seat played outside is to move.
    void reset(std::optional<std::uint64_t> seed, std::span<const std::uint8_t> which = {},
               std::uint64_t first_game = 0);

    // One grid index per game for its agent to move (ignored for a finished game), for every game
    // or only those with a nonzero byte in `which` (the others are left exactly as they are).
    // Every action is checked before any game changes; on error nothing changed. The engine's
    // seats then play, agents out of moves are passed, finished games scored and, with autoreset,
    // started anew.
    [[nodiscard]] std::optional<BatchError> step(std::span<const std::int32_t> actions,
                                                 std::span<const std::uint8_t> which = {});

    // One action per game drawn from the game's own stream; 0 for a finished game. `policies`
    // holds one policy for every game, or one for all.
    void sample_actions(Policy policy, std::span<std::int32_t> out);
    void sample_actions(std::span<const Policy> policies, std::span<std::int32_t> out);

    // Plays every unfinished game to its end, agent k as the engine seat `seats[k]` playing with
    // `settings[k]`, and records each
    // placement: game i's p-th in row i × max_plies + p of `states` (STATE_SIZE bytes each, the
    // state before it), `actions` and `agents`; `plies[i]` counts them. A game that ends is
    // scored as on a step (final_scores, rewards, terminated) and kept finished. For writing
    // datasets: one pass over each game while it is in cache, no call per ply. With `visits` (one
    // list per game, emptied first), each search that made playouts adds its root's children.
    void play_out(std::span<const Seat, AGENT_COUNT> seats, std::span<const SeatSettings, AGENT_COUNT> settings,
                  std::size_t max_plies, std::uint8_t* states,
                  std::uint16_t* actions, std::int8_t* agents, std::int16_t* plies,
                  std::vector<RootVisit>* visits = nullptr);

    // The legal grid indexes of every game, ascending, as offsets (N + 1) and a flat list.
    void legal_actions(std::vector<std::int64_t>& offsets, std::vector<std::int32_t>& actions);

    // Sets every game from N × STATE_SIZE bytes; on error nothing changed.
    [[nodiscard]] std::optional<BatchError> load(std::span<const std::uint8_t> states);
    void to_bytes(std::span<std::uint8_t> out);

    const Game& game(std::size_t i) const;
    // The game as it ended on the last step, when game i ended then.
    std::optional<Game> final_game(std::size_t i) const;
    // The same as state bytes.
    std::optional<StateBytes> final_state(std::size_t i) const;

    std::size_t size() const noexcept { return config_.num_games; }
    std::size_t threads() const noexcept { return pool_.threads(); }
    const Config& config() const noexcept { return config_; }

    // The output arrays, rewritten in place by reset, step and load; null where the mode has none.
    const std::uint8_t* observation() const noexcept { return observation_.get(); }  // N × 100|12 × 400
    const std::uint8_t* pieces() const noexcept { return pieces_.get(); }            // N × 4 × 21
    const std::uint8_t* done() const noexcept { return done_.get(); }                // N × 4
    const std::uint8_t* legal_action_mask() const noexcept { return mask_.get(); }   // N × 36400
    const std::int8_t* current_player() const noexcept { return current_player_.get(); }  // −1: over
    const float* rewards() const noexcept { return rewards_.get(); }                 // N × 4
    const std::uint8_t* terminated() const noexcept { return terminated_.get(); }
    const std::int16_t* final_scores() const noexcept { return final_scores_.get(); }  // N × 4
    const std::uint8_t* lineup() const noexcept { return lineup_.get(); }            // N × 4 Seat codes

    static std::size_t observation_channels(ObservationMode mode) noexcept;
    // Bytes held per game, every array included.
    static std::size_t bytes_per_game(ObservationMode mode, bool mask) noexcept;

 private:
    Game* game_array() noexcept { return games_.get(); }
    const Game* game_array() const noexcept { return games_.get(); }

    // How a game moves (vector_games.cpp).
    // Plays the engine's seats and passes agents out of moves in `game` (game i after a reset, a
    // step or a load) until a seat played outside is to move, then scores it if it ended and, with
    // autoreset after a step, starts it anew.
    // `slot` is the pool slot serving the game (its searcher).
    void finish_turns(std::size_t slot, std::size_t i, Game& game, bool was_over, bool stepped, bool autoreset);
    void play_engine_seats(std::size_t slot, std::size_t i, Game& game);
    // A new game i, with its lineup (turned when the seats rotate).
    void start_game(std::size_t i, Game& game);
    // One engine seat's placement for the agent to move in `game` (game i), from its stream.
    std::optional<std::uint32_t> engine_pick(std::size_t slot, std::size_t i, const Game& game, Seat seat,
                                             const SeatSettings& settings);
    // Checks the settings of the engine seats in `seats` and readies a searcher per pool slot for
    // the largest budget among them; before the pool's threads start, since they share them.
    void prepare_seats(std::span<const Seat, AGENT_COUNT> seats, std::span<const SeatSettings, AGENT_COUNT> settings);

    // What it writes (outputs.cpp).
    void write_outputs(std::size_t i, const Game& game);
    void write_observation(std::size_t i, const Game& game);
    // Replaces game i's kept legal set and mask row with those of `game`.
    void write_mask(std::size_t i, const Game& game);
    // The kept legal list of game i, ascending, when it holds the whole legal set.
    std::optional<std::span<const std::uint16_t>> legal_list_of(std::size_t i) const;

    // How it is sampled (sampling.cpp).
    // The random sample of game i, in state `game`, drawn ahead from a copy of its stream (the
    // stream itself moves on when the sample is taken; see SampleRecord).
    std::int32_t draw_ahead(std::size_t i, const Game& game) const;
    // Moves game i's stream on if it owes a draw; `sampled` is the game as it was sampled.
    void catch_up_stream(std::size_t i, const Game& sampled) noexcept;

    Config config_;
    const ActionSet* set_;
    ThreadPool pool_;
    std::vector<LegalBits> scratch_bits_;  // one per pool slot, for searches without the mask
    // One per pool slot when a seat searches; a search leaves nothing behind for the next, so
    // which slot serves a game never changes its play.
    std::vector<search::Searcher> searchers_;
    // One per pool slot when a seat plays a net, fitted to every net of the lineup.
    std::vector<net::Evaluator> evaluators_;
    Array<Game> games_;
    // The final state of each game that ended on the last step, as bytes: a quarter of a game's
    // size, and read only for the few games that end.
    Array<StateBytes> finals_;
    Array<Stream> streams_;
    Array<std::uint8_t> observation_, pieces_, done_, mask_, terminated_;
    // With the mask: each game's legal grid indexes, ascending, kept_legal per game, and their
    // number (above kept_legal: the list is partial). A list is a few cache lines where a bit set
    // of the 36,400 indexes would be seventy, and a step touches every game's.
    Array<std::uint16_t> legal_list_;
    Array<std::uint32_t> legal_count_;
    SampleRecord samples_;
    Array<std::uint8_t> lineup_;
    // How far each game's lineup is turned: agent a of game i plays config_.seats and settings
    // [(a + turn_[i]) % 4].
    Array<std::uint8_t> turn_;
    Array<std::int8_t> current_player_;
    Array<float> rewards_;
    Array<std::int16_t> final_scores_;
};

}  // namespace tavrin::batch
