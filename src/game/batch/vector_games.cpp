// The batch's calls and how a step runs: each call checks its input, then spreads the games over
// the pool, where each game moves, lets the engine's seats play and writes its outputs
// (outputs.cpp). The samplers and legal lists are in sampling.cpp, the arrays' allocation in arrays.cpp.
#include "game/batch/vector_games.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "game/error.h"
#include "game/moves.h"
#include "game/planes.h"
#include "game/rules.h"
#include "game/search/net_guide.h"

namespace tavrin::batch {

// The refusal of a checked batch: each pool slot keeps the lowest game it refused, and every game
// below the lowest refused one was checked.
static void refuse(std::optional<BatchError>& kept, const BatchError& error) {
    if (!kept || error.game < kept->game) kept = error;
}
static BatchError lowest_error(const std::vector<std::optional<BatchError>>& by_slot) {
    const std::optional<BatchError>* lowest = nullptr;
    for (const auto& error : by_slot)
        if (error && (lowest == nullptr || error->game < (*lowest)->game)) lowest = &error;
    if (lowest == nullptr) fail("a refused batch without an error");
    return **lowest;
}

// --- Construction ---

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
    bytes += AGENT_COUNT + 1;            // the lineup and its turn
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
    prepare_seats(config_.seats, config_.settings);
    games_ = allocate_array<Game>(n);
    finals_ = allocate_array<StateBytes>(n);
    streams_ = allocate_array<Stream>(n);
    const std::size_t channels = observation_channels(config_.observation);
    if (channels > 0) {
        observation_ = allocate_array<std::uint8_t>(n * channels * PLANE_CELLS);
        pieces_ = allocate_array<std::uint8_t>(n * PIECE_CHANNELS);
        done_ = allocate_array<std::uint8_t>(n * AGENT_COUNT);
    }
    samples_.allocate(n, !config_.mask);
    if (config_.mask) {
        mask_ = allocate_array<std::uint8_t>(n * GRID_SIZE);
        config_.kept_legal = std::min(config_.kept_legal, GRID_SIZE);
        legal_list_ = allocate_array<std::uint16_t>(n * config_.kept_legal);
        legal_count_ = allocate_array<std::uint32_t>(n);
    }
    lineup_ = allocate_array<std::uint8_t>(n * AGENT_COUNT);
    turn_ = allocate_array<std::uint8_t>(n);
    current_player_ = allocate_array<std::int8_t>(n);
    rewards_ = allocate_array<float>(n * AGENT_COUNT);
    terminated_ = allocate_array<std::uint8_t>(n);
    final_scores_ = allocate_array<std::int16_t>(n * AGENT_COUNT);
    reset(0);
}

void VectorGames::prepare_seats(std::span<const Seat, AGENT_COUNT> seats,
                                std::span<const SeatSettings, AGENT_COUNT> settings) {
    std::uint32_t most_playouts = 0;
    for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
        if (seats[k] == Seat::Net && !settings[k].net) throw std::invalid_argument("a net seat without a net");
        if ((seats[k] == Seat::Net || seats[k] == Seat::Search) && settings[k].net) {  // a Search seat's: its guide
            evaluators_.resize(pool_.threads());
            for (net::Evaluator& e : evaluators_) e.fit(*settings[k].net);
        }
        if (seats[k] != Seat::Search) continue;
        const search::SearchConfig& search = settings[k].search;
        if (static_cast<std::size_t>(search.rollout) >= POLICY_COUNT)
            throw std::invalid_argument("unknown search playout policy");
        if (search.playouts == 0 || search.playouts > search::MAX_PLAYOUTS)
            throw std::invalid_argument("search playouts must be from 1 to " + std::to_string(search::MAX_PLAYOUTS));
        most_playouts = std::max(most_playouts, search.playouts);
    }
    if (most_playouts == 0) return;
    // A searcher reserved for the largest budget serves every search seat without allocating.
    searchers_.resize(pool_.threads());
    for (search::Searcher& s : searchers_) s.reserve(most_playouts);
}

std::optional<std::uint32_t> VectorGames::engine_pick(std::size_t slot, std::size_t i, const Game& game, Seat seat,
                                                      const SeatSettings& settings) {
    if (seat == Seat::Search) {
        if (!settings.net) return searchers_[slot].search(game, settings.search, streams_[i]).move;
        search::NetGuide guide(*settings.net, evaluators_[slot]);
        return searchers_[slot].search(game, settings.search, streams_[i], &guide).move;
    }
    if (seat == Seat::Net) return evaluators_[slot].pick(*settings.net, game, settings.sample ? &streams_[i] : nullptr);
    const auto policy = static_cast<Policy>(static_cast<unsigned>(seat) - static_cast<unsigned>(Seat::Random));
    return pick(game, policy, streams_[i]);
}

void VectorGames::start_game(std::size_t i, Game& game) {
    game = new_game(*set_);
    const std::size_t turn = config_.rotate_seats ? static_cast<std::size_t>(streams_[i].below(AGENT_COUNT)) : 0;
    turn_[i] = static_cast<std::uint8_t>(turn);
    std::uint8_t* lineup = lineup_.get() + i * AGENT_COUNT;
    for (std::size_t a = 0; a < AGENT_COUNT; ++a)
        lineup[a] = static_cast<std::uint8_t>(config_.seats[(a + turn) % AGENT_COUNT]);
}

void VectorGames::play_engine_seats(std::size_t slot, std::size_t i, Game& game) {
    const std::uint8_t* lineup = lineup_.get() + i * AGENT_COUNT;
    for (;;) {
        skip_passes(game);
        if (is_over(game)) return;
        const auto seat = static_cast<Seat>(lineup[game.agent_selection]);
        if (played_outside(seat)) return;
        const SeatSettings& settings = config_.settings[(game.agent_selection + turn_[i]) % AGENT_COUNT];
        const std::optional<std::uint32_t> g = engine_pick(slot, i, game, seat, settings);
        if (!g) fail("the agent to move has no legal placement");
        if (tavrin::step(game, static_cast<std::size_t>(*g))) fail("an engine seat's placement was refused");
    }
}

void VectorGames::finish_turns(std::size_t slot, std::size_t i, Game& game, bool was_over, bool stepped, bool autoreset) {
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
    play_engine_seats(slot, i, game);
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
            play_engine_seats(slot, i, game);
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

void VectorGames::reset(std::optional<std::uint64_t> seed, std::span<const std::uint8_t> which,
                        std::uint64_t first_game) {
    if (!which.empty() && which.size() != size()) fail_index(which.size(), size());
    samples_.games_replaced();
    pool_.run(size(), [&](std::size_t slot, std::size_t begin, std::size_t end) {
        Game* games = game_array();
        for (std::size_t i = begin; i < end; ++i) {
            catch_up_stream(i, games[i]);
            if (!which.empty() && which[i] == 0) continue;
            if (seed) streams_[i] = Stream::for_game(*seed, first_game + i);
            start_game(i, games[i]);
            finish_turns(slot, i, games[i], false, false, config_.autoreset);
            write_outputs(i, games[i]);
        }
        end_writes();
    });
    samples_.streams_caught_up();
}

std::optional<BatchError> VectorGames::step(std::span<const std::int32_t> actions,
                                            std::span<const std::uint8_t> which) {
    if (actions.size() != size()) fail_index(actions.size(), size());
    if (!which.empty() && which.size() != size()) fail_index(which.size(), size());
    const bool drawing_ahead = samples_.step_begins(config_.mask);
    std::vector<std::optional<BatchError>> refusals(pool_.threads());  // one per pool slot
    // Every action is checked before any game changes, so a refused batch changes nothing. An
    // action this batch's last sample chose is legal.
    const std::int32_t* sampled = samples_.last();
    const auto check = [&](std::size_t slot, std::size_t begin, std::size_t end) {
        const Game* games = game_array();
        for (std::size_t i = begin; i < end; ++i) {
            const Game& game = games[i];
            if (!which.empty() && which[i] == 0) continue;
            // The range is checked for every game, finished ones too, so that a batch is valid or
            // not whatever state its games are in.
            const std::int32_t a = actions[i];
            if (a < 0 || static_cast<std::size_t>(a) >= GRID_SIZE) {
                refuse(refusals[slot], BatchError{BatchError::Reason::OutOfRange, i, a, game.agent_selection});
                return false;
            }
            if (sampled != nullptr && a == sampled[i]) continue;
            if (!is_over(game) && !would_step(game, static_cast<std::size_t>(a))) {
                refuse(refusals[slot], BatchError{BatchError::Reason::Illegal, i, a, game.agent_selection});
                return false;
            }
        }
        return true;
    };
    const auto commit = [&](std::size_t slot, std::size_t begin, std::size_t end) {
        Game* games = game_array();
        for (std::size_t i = begin; i < end; ++i) {
            Game& game = games[i];
            const bool was_over = is_over(game);
            catch_up_stream(i, game);
            if (!which.empty() && which[i] == 0) {
                if (drawing_ahead) samples_.ahead()[i] = draw_ahead(i, game);
                continue;
            }
            if (!was_over && tavrin::step(game, static_cast<std::size_t>(actions[i]))) fail("a checked action was refused");
            finish_turns(slot, i, game, was_over, true, config_.autoreset);
            write_outputs(i, game);
            if (drawing_ahead) samples_.ahead()[i] = draw_ahead(i, game);
        }
        end_writes();
    };
    if (!pool_.run_checked(size(), check, commit)) return lowest_error(refusals);
    samples_.step_done(drawing_ahead);
    return std::nullopt;
}

void VectorGames::play_out(std::span<const Seat, AGENT_COUNT> seats, std::span<const SeatSettings, AGENT_COUNT> settings,
                           std::size_t max_plies, std::uint8_t* states, std::uint16_t* actions, std::int8_t* agents,
                           std::int16_t* plies, std::vector<RootVisit>* visits) {
    for (const Seat seat : seats) {
        if (static_cast<std::size_t>(seat) >= SEAT_KINDS || played_outside(seat))
            throw std::invalid_argument("play_out plays engine seats only");
    }
    prepare_seats(seats, settings);
    samples_.games_replaced();
    pool_.run(size(), [&](std::size_t slot, std::size_t begin, std::size_t end) {
        Game* games = game_array();
        for (std::size_t i = begin; i < end; ++i) {
            Game& game = games[i];
            catch_up_stream(i, game);
            const bool was_over = is_over(game);
            if (visits != nullptr) visits[i].clear();
            std::size_t n = 0;
            for (;;) {
                skip_passes(game);
                if (is_over(game)) break;
                if (n >= max_plies) fail("a game longer than its record");
                const std::size_t row = i * max_plies + n;
                const StateBytes bytes = tavrin::to_bytes(game);
                std::memcpy(states + row * STATE_SIZE, bytes.data(), STATE_SIZE);
                const std::size_t agent = game.agent_selection;
                const auto g = engine_pick(slot, i, game, seats[agent], settings[agent]);
                if (!g) fail("the agent to move has no legal placement");
                // A search that made no playouts (a forced or opening placement) opened no root child.
                if (visits != nullptr && seats[agent] == Seat::Search)
                    searchers_[slot].for_each_root_child([&](std::uint32_t move, std::uint32_t v, float) {
                        visits[i].push_back({static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(move), v});
                    });
                if (tavrin::step(game, static_cast<std::size_t>(*g))) fail("an engine pick was refused");
                actions[row] = static_cast<std::uint16_t>(*g);
                agents[row] = static_cast<std::int8_t>(agent);
                ++n;
            }
            plies[i] = static_cast<std::int16_t>(n);
            finish_turns(slot, i, game, was_over, true, false);  // kept finished, as documented
            write_outputs(i, game);
        }
        end_writes();
    });
    samples_.streams_caught_up();
}

std::optional<BatchError> VectorGames::load(std::span<const std::uint8_t> states) {
    if (states.size() != size() * STATE_SIZE) fail_index(states.size(), size() * STATE_SIZE);
    samples_.games_replaced();
    std::vector<std::optional<BatchError>> refusals(pool_.threads());  // one per pool slot
    // The caller's bytes are read once, into a copy that is checked and then committed: another
    // thread may write into the caller's array during the load, and a state checked in one
    // reading and set from a second could differ. The copy is the size of the states (a game
    // value is several times larger), and a load is rare: allocated per call.
    std::vector<std::uint8_t> copy(states.size());
    const auto check = [&](std::size_t slot, std::size_t begin, std::size_t end) {
        std::memcpy(copy.data() + begin * STATE_SIZE, states.data() + begin * STATE_SIZE,
                    (end - begin) * STATE_SIZE);
        for (std::size_t i = begin; i < end; ++i) {
            if (!from_bytes(copy.data() + i * STATE_SIZE, STATE_SIZE)) {
                refuse(refusals[slot], BatchError{BatchError::Reason::InvalidState, i, 0, 0});
                return false;
            }
        }
        return true;
    };
    const auto commit = [&](std::size_t slot, std::size_t begin, std::size_t end) {
        Game* games = game_array();
        for (std::size_t i = begin; i < end; ++i) {
            std::optional<Game> game = from_bytes(copy.data() + i * STATE_SIZE, STATE_SIZE);
            if (!game) fail("a checked state does not read");
            catch_up_stream(i, games[i]);
            games[i] = *game;
            finish_turns(slot, i, games[i], is_over(*game), false, config_.autoreset);
            write_outputs(i, games[i]);
        }
        end_writes();
    };
    if (!pool_.run_checked(size(), check, commit)) return lowest_error(refusals);
    samples_.streams_caught_up();
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
