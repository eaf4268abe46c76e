// The module's functions: the catalogue and orientation traits the Python package builds its
// tables from, state decoding, the built-in rules and the search on one game, and outcomes.
#include "_engine/binding.h"

#include <cstdio>

#include "_engine/game_args.h"
#include "game/agents/policies.h"
#include "game/batch/catalogue_export.h"
#include "game/batch/vector_games.h"
#include "game/colours.h"
#include "game/render.h"
#include "game/scores.h"
#include "game/search/mcts.h"
#include "game/search/net_guide.h"
#include "game/state_bytes.h"

namespace tavrin::engine {
namespace {

using batch::ObservationMode;
using batch::VectorGames;
using binding::arity;
using binding::put;
using binding::to_code;
using binding::tuple_of;

// The engine's codes as the package numbers them.
constexpr std::size_t OBSERVATION_MODES = 3;
constexpr std::size_t REWARD_MODES = 3;

// A tuple of `count` ints made by value(i).
template <class Value>
PyObject* ints(std::size_t count, Value&& value) noexcept {
    return tuple_of(count, [&](std::size_t i) { return PyLong_FromSize_t(static_cast<std::size_t>(value(i))); });
}

PyObject* engine_bytes_per_game(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("bytes_per_game()", nargs, 2, 2)) return nullptr;
    const auto observation = to_code(args[0], "observation code", OBSERVATION_MODES);
    if (!observation) return nullptr;
    const int mask = PyObject_IsTrue(args[1]);
    if (mask < 0) return nullptr;
    return PyLong_FromSize_t(VectorGames::bytes_per_game(static_cast<ObservationMode>(*observation), mask != 0));
}

PyObject* engine_catalogue(PyObject*, PyObject*) {
    const ActionSet& set = ActionSet::get();
    const std::vector<batch::OrientationInfo> table = batch::orientation_table(set);
    const batch::FrameTable frames = batch::frame_to_board(set);
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    const bool ok =
        put(d, "piece_names",
            tuple_of(KIND_COUNT,
                     [](std::size_t k) { return binding::str_of(PieceType::from_index(static_cast<unsigned>(k)).name()); })) &&
        put(d, "piece_cells",
            ints(KIND_COUNT, [](std::size_t k) { return PieceType::from_index(static_cast<unsigned>(k)).cells(); })) &&
        put(d, "orientation_kind", ints(table.size(), [&](std::size_t o) { return table[o].kind; })) &&
        put(d, "orientation_cells",
            tuple_of(table.size(),
                     [&](std::size_t o) {
                         const auto& cells = table[o].cells;
                         return tuple_of(cells.size(), [&](std::size_t j) {
                             return Py_BuildValue("(II)", cells[j].first, cells[j].second);
                         });
                     })) &&
        put(d, "anchor_rows", ints(table.size(), [&](std::size_t o) { return table[o].anchor_rows; })) &&
        put(d, "anchor_columns", ints(table.size(), [&](std::size_t o) { return table[o].anchor_columns; })) &&
        put(d, "frame_to_board",
            tuple_of(AGENT_COUNT, [&](std::size_t a) { return ints(frames[a].size(), [&](std::size_t f) { return frames[a][f]; }); })) &&
        put(d, "board_side", PyLong_FromSize_t(BOARD_SIDE)) &&
        put(d, "num_seats", PyLong_FromSize_t(AGENT_COUNT)) &&
        // The observation's channels, as the batched engine writes them: (first channel, count)
        // of each group, seat 0 the observer; "compact" keeps the board groups as planes and the
        // pieces and done flags as small arrays; the flat view lays them end to end.
        put(d, "observation_layout",
            Py_BuildValue("{s(nn)s(nn)s(nn)s(nn)s(nn)snsnsn}", "occupied", Py_ssize_t{0}, Py_ssize_t(AGENT_COUNT),
                          "corners", Py_ssize_t(AGENT_COUNT), Py_ssize_t(AGENT_COUNT), "blocked",
                          Py_ssize_t(2 * AGENT_COUNT), Py_ssize_t(AGENT_COUNT), "pieces",
                          Py_ssize_t(batch::BOARD_CHANNELS), Py_ssize_t(batch::PIECE_CHANNELS), "done",
                          Py_ssize_t(batch::BOARD_CHANNELS + batch::PIECE_CHANNELS), Py_ssize_t(AGENT_COUNT),
                          "channels", Py_ssize_t(batch::FULL_CHANNELS), "board_channels", Py_ssize_t(batch::BOARD_CHANNELS),
                          "flat_size",
                          Py_ssize_t(batch::BOARD_CHANNELS * batch::PLANE_CELLS + batch::PIECE_CHANNELS + AGENT_COUNT))) &&
        put(d, "colours",
            tuple_of(AGENT_COUNT,
                     [](std::size_t a) {
                         const AgentColour& c = AGENT_COLOURS[a];
                         return Py_BuildValue("(s#I(III))", c.name.data(), static_cast<Py_ssize_t>(c.name.size()),
                                              unsigned{c.background}, unsigned{c.rgb[0]}, unsigned{c.rgb[1]},
                                              unsigned{c.rgb[2]});
                     })) &&
        put(d, "num_actions", PyLong_FromSize_t(GRID_SIZE)) &&
        put(d, "num_placements", PyLong_FromSize_t(set.actions.size())) &&
        put(d, "state_size", PyLong_FromSize_t(STATE_SIZE)) &&
        put(d, "state_version", PyLong_FromSize_t(STATE_VERSION));
    return ok ? dict.release() : nullptr;
}

PyObject* engine_decode_states(PyObject*, PyObject* states) {
    Buffer view;
    if (!view.get(states)) return nullptr;
    const std::size_t bytes = view.size();
    if (bytes % STATE_SIZE != 0)
        return PyErr_Format(PyExc_ValueError, "Not a game state written by to_bytes() of this version "
                            "(%zu bytes is not a whole number of %zu-byte states)", bytes, STATE_SIZE);
    const std::size_t count = bytes / STATE_SIZE;
    constexpr std::size_t PLANE = BOARD_SIDE * BOARD_SIDE;
    auto new_bytes = [](std::size_t size) {
        return PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    };
    const PyRef owners = new_bytes(count * PLANE), pieces = new_bytes(count * AGENT_COUNT * KIND_COUNT),
                done = new_bytes(count * AGENT_COUNT), to_move = new_bytes(count);
    if (!owners || !pieces || !done || !to_move) return nullptr;
    std::size_t bad = count;
    const auto* data = static_cast<const std::uint8_t*>(view.data());
    without_gil([&] {
            for (std::size_t i = 0; i < count; ++i) {
                const std::optional<Game> game = from_bytes(data + i * STATE_SIZE, STATE_SIZE);
                if (!game) {
                    bad = i;
                    return;
                }
                const batch::DecodedState d = batch::decode_state(*game);
                std::memcpy(PyBytes_AS_STRING(owners.get()) + i * PLANE, d.owners.data(), PLANE);
                std::memcpy(PyBytes_AS_STRING(pieces.get()) + i * d.pieces.size(), d.pieces.data(), d.pieces.size());
                std::memcpy(PyBytes_AS_STRING(done.get()) + i * AGENT_COUNT, d.done.data(), AGENT_COUNT);
                PyBytes_AS_STRING(to_move.get())[i] = static_cast<char>(game->agent_selection);
            }
        });
    if (bad < count)
        return PyErr_Format(PyExc_ValueError, "Not a game state written by to_bytes() of this version (state %zu)", bad);
    return PyTuple_Pack(4, owners.get(), pieces.get(), done.get(), to_move.get());
}

// pick(policy, source, stream): the built-in rule `policy` on a game's state bytes or on an action
// mask, drawing from the stream whose state is `stream`; (grid index or None, the stream's new state).
PyObject* engine_pick(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("pick()", nargs, 3, 3)) return nullptr;
    const auto policy = to_code(args[0], "policy code", POLICY_COUNT);
    if (!policy) return nullptr;
    std::optional<Stream> stream = stream_of(args[2]);
    if (!stream) return nullptr;
    Buffer source;
    if (!source.get(args[1])) return nullptr;
    std::optional<std::uint32_t> g;
    if (source.size() == GRID_SIZE) {
        g = pick_from_mask(static_cast<const std::uint8_t*>(source.data()), static_cast<Policy>(*policy), *stream);
    } else if (source.size() == STATE_SIZE) {
        const std::optional<Game> game = game_of(source);
        if (!game) return nullptr;
        g = is_over(*game) ? std::nullopt : pick(*game, static_cast<Policy>(*policy), *stream);
    } else {
        return PyErr_Format(PyExc_ValueError, "source must be %zu mask bytes or %zu state bytes, got %zu bytes",
                            GRID_SIZE, STATE_SIZE, source.size());
    }
    return move_and_stream(g, *stream);
}

// search(state, playouts, rollout, stream, cpu_ms=0.0): the search agent's move for the agent to
// move in a game's state bytes, seeded by one draw from the stream whose state is `stream`; (grid
// index or None, the stream's new state). Each thread keeps one searcher, so the arena (sized for the
// largest budget that thread has asked for) is allocated once, not per move.
PyObject* engine_search(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"state",  "playouts",     "rollout",      "stream", "cpu_ms",
                                     "guide",  "puct",         "guide_visits", "guide_value_weight", "guide_mix",
                                     "guide_widening", nullptr};
    PyObject* state_arg = nullptr;
    Py_ssize_t playouts = 0;
    PyObject* rollout_arg = nullptr;
    PyObject* stream_arg = nullptr;
    double cpu_ms = 0.0;
    PyObject* guide_arg = Py_None;
    const search::SearchConfig defaults{};
    double puct = defaults.puct, value_weight = defaults.guide_value_weight, mix = defaults.guide_mix;
    Py_ssize_t guide_visits = defaults.guide_visits;
    int widen = defaults.guide_widening ? 1 : 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OnOO|dOdnddp:search", const_cast<char**>(keywords), &state_arg,
                                     &playouts, &rollout_arg, &stream_arg, &cpu_ms, &guide_arg, &puct, &guide_visits,
                                     &value_weight, &mix, &widen))
        return nullptr;
    if (!(mix >= 0.0 && mix <= 1.0)) return PyErr_Format(PyExc_ValueError, "guide_mix must be from 0 to 1");
    if (!(puct >= 0.0 && puct <= 100.0) || !(value_weight >= 0.0 && value_weight <= 1e6) || guide_visits < 1 ||
        guide_visits > static_cast<Py_ssize_t>(search::MAX_PLAYOUTS))
        return PyErr_Format(PyExc_ValueError,
                            "puct must be from 0 to 100, guide_visits from 1 to %u and guide_value_weight from 0 to "
                            "1e6",
                            search::MAX_PLAYOUTS);
    std::shared_ptr<const net::Net> guide;
    if (guide_arg != Py_None && !(guide = net_of(state_of(module)->net_type, guide_arg))) return nullptr;
    Buffer state;
    if (!state.get(state_arg)) return nullptr;
    // The search refuses a budget past MAX_PLAYOUTS itself, but only once the int is cast to its
    // 32-bit field, which would wrap a larger one into range: so the caller's int is checked here,
    // against the engine's bound.
    if (!binding::in_range("playouts", playouts, 1, search::MAX_PLAYOUTS)) return nullptr;
    const auto rollout = to_code(rollout_arg, "rollout policy code", POLICY_COUNT);
    if (!rollout) return nullptr;
    if (!(cpu_ms >= 0.0)) {
        // PyErr_Format has no floating-point conversions on every supported Python.
        char text[64];
        std::snprintf(text, sizeof text, "cpu_ms must be at least 0, got %g", cpu_ms);
        PyErr_SetString(PyExc_ValueError, text);
        return nullptr;
    }
    std::optional<Stream> stream = stream_of(stream_arg);
    if (!stream) return nullptr;
    if (state.size() != STATE_SIZE)
        return PyErr_Format(PyExc_ValueError, "state must be %zu bytes, got %zu", STATE_SIZE, state.size());
    const std::optional<Game> game = game_of(state);
    if (!game) return nullptr;
    const search::SearchConfig config{.playouts = static_cast<std::uint32_t>(playouts),
                                      .rollout = static_cast<Policy>(*rollout),
                                      .cpu_ms = cpu_ms,
                                      .puct = static_cast<float>(puct),
                                      .guide_visits = static_cast<std::uint32_t>(guide_visits),
                                      .guide_value_weight = static_cast<float>(value_weight),
                                      .guide_mix = static_cast<float>(mix),
                                      .guide_widening = widen != 0};
    std::optional<std::uint32_t> g;
    without_gil([&] {
        thread_local search::Searcher searcher;
        if (!guide) {
            g = searcher.search(*game, config, *stream).move;
            return;
        }
        search::NetGuide net_guide(*guide, thread_evaluator(*guide));
        g = searcher.search(*game, config, *stream, &net_guide).move;
    });
    return move_and_stream(g, *stream);
}

// The stream state of game `game` of a run seeded with `seed`.
PyObject* engine_stream_for_game(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("stream_for_game()", nargs, 2, 2)) return nullptr;
    const auto seed = binding::to_u64(args[0]);
    if (!seed) return nullptr;
    const auto game = binding::to_u64(args[1]);
    if (!game) return nullptr;
    return PyLong_FromUnsignedLongLong(Stream::for_game(*seed, *game).state);
}

// One draw in [0, n) from the stream state `stream`, as the batched engine draws a game's turned
// seat: the environments that play one game draw theirs here, so that both start a seed's game alike.
PyObject* engine_stream_below(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("stream_below()", nargs, 2, 2)) return nullptr;
    const auto state = binding::to_u64(args[0]);
    if (!state) return nullptr;
    const auto n = binding::to_u64(args[1]);
    if (!n) return nullptr;
    if (*n == 0) return PyErr_Format(PyExc_ValueError, "n must be at least 1, got 0");
    Stream stream{*state};
    const std::uint64_t value = stream.below(*n);
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(value), static_cast<unsigned long long>(stream.state));
}

PyObject* engine_orientation_traits(PyObject*, PyObject*) {
    const OrientationTable& t = OrientationTable::get();
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    const bool ok =
        put(d, "kind", ints(ORIENTATION_COUNT, [&](std::size_t o) { return t.orientation[o].kind; })) &&
        put(d, "size", ints(ORIENTATION_COUNT, [&](std::size_t o) { return t.orientation[o].size; })) &&
        put(d, "reach", ints(ORIENTATION_COUNT, [&](std::size_t o) { return t.orientation[o].reach; })) &&
        put(d, "size_start", ints(t.size_start.size(), [&](std::size_t k) { return t.size_start[k]; })) &&
        put(d, "policies", binding::str_tuple(POLICY_NAMES));
    return ok ? dict.release() : nullptr;
}

// outcomes(scores, mode): the outcome in reward mode `mode` of K finished games from their
// official scores (K x 4 int16), as K x 4 float32 bytes.
PyObject* engine_outcomes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("outcomes()", nargs, 2, 2)) return nullptr;
    const auto mode = to_code(args[1], "reward mode code", REWARD_MODES);
    if (!mode) return nullptr;
    Buffer scores;
    if (!scores.get(args[0])) return nullptr;
    constexpr std::size_t ROW = AGENT_COUNT * sizeof(std::int16_t);
    if (scores.size() % ROW != 0)
        return PyErr_Format(PyExc_ValueError, "scores must be K x 4 int16 (%zu bytes is not a whole number of rows)",
                            scores.size());
    const std::size_t count = scores.size() / ROW;
    PyRef out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * AGENT_COUNT * sizeof(float))));
    if (!out) return nullptr;
    const auto* data = static_cast<const std::uint8_t*>(scores.data());
    auto* values = reinterpret_cast<float*>(PyBytes_AS_STRING(out.get()));
    for (std::size_t i = 0; i < count; ++i) {
        Scores s;
        std::memcpy(s.data(), data + i * ROW, ROW);
        const Outcome o = outcome_from_scores(s, static_cast<RewardMode>(*mode));
        std::copy(o.begin(), o.end(), values + i * AGENT_COUNT);
    }
    return out.release();
}

// picture(state): the board's coloured text picture, as the game's render() prints it.
PyObject* engine_picture(PyObject*, PyObject* state) {
    Buffer view;
    if (!view.get(state)) return nullptr;
    const std::optional<Game> game = game_of(view);
    if (!game) return nullptr;
    char text[RENDER_CAPACITY];
    const std::size_t n = render_into(*game, text);
    return PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(n));
}

}  // namespace

PyMethodDef engine_methods[] = {
    BINDING_METHOD(picture, engine_picture, METH_O, "$module, state, /",
                   "The board of 278 state bytes as the coloured text picture render() prints, without its final "
                   "line feed."),
    BINDING_METHOD(outcomes, engine_outcomes, METH_FASTCALL, "$module, scores, mode, /",
                   "The outcome in reward mode `mode` (a code, in PyTavrin.reward_modes order) of K finished games "
                   "with these official scores (K x 4 int16), as K x 4 float32 bytes."),
    BINDING_METHOD(pick, engine_pick, METH_FASTCALL, "$module, policy, source, stream, /",
                   "The built-in rule `policy` (a code, see orientation_traits()['policies']) for the agent to move, "
                   "on 278 state bytes or a 36400-byte action mask, drawing from the stream state `stream`: (grid "
                   "index or None, the stream's next state)."),
    BINDING_METHOD(search, engine_search, METH_VARARGS | METH_KEYWORDS,
                   "$module, /, state, playouts, rollout, stream, cpu_ms=0.0, guide=None, puct=0.5, "
                   "guide_visits=32, guide_value_weight=0.0, guide_mix=0.5, guide_widening=True",
                   "The search agent's move for the agent to move in 278 state bytes: a UCT search of `playouts` "
                   "playouts (1 to MAX_PLAYOUTS) finished by the rule `rollout` (a policy code; above 240 "
                   "playouts, reach playouts mix in greedy placements), stopping early after "
                   "`cpu_ms` of CPU time when given, seeded by one draw from the stream state `stream`: (grid index "
                   "or None, the stream's next state). Repeatable for a stream state without cpu_ms. With `guide` (a Net), "
                   "the net's priors and value guide the root and the nodes of `guide_visits` visits (PUCT with c = `puct`; "
                   "the value counted as `guide_value_weight` playouts)."),
    BINDING_METHOD(stream_for_game, engine_stream_for_game, METH_FASTCALL, "$module, seed, game, /",
                   "The stream state of game number `game` of a run seeded with `seed`."),
    BINDING_METHOD(stream_below, engine_stream_below, METH_FASTCALL, "$module, stream, n, /",
                   "One draw in [0, n) from the stream state `stream`: (the draw, the stream's next state)."),
    BINDING_METHOD(orientation_traits, engine_orientation_traits, METH_NOARGS, "$module, /",
                   "Per orientation its kind, size and reach (rows + columns to its farthest cell), the first "
                   "orientation of each size (index 1 to 5; 91 for none), and the policy names by code."),
    BINDING_METHOD(catalogue, engine_catalogue, METH_NOARGS, "$module, /",
                   "The piece kinds, the 91 orientations (kind, cells, anchor ranges), each agent's frame as board "
                   "cells, and the sizes of the action grid and the state bytes."),
    BINDING_METHOD(decode_states, engine_decode_states, METH_O, "$module, states, /",
                   "K states of to_bytes() (K x 278 bytes) as bytes: owners (K x 400 int8, -1 free), pieces (K x 4 x "
                   "21), done (K x 4) and the agent to move (K)."),
    BINDING_METHOD(bytes_per_game, engine_bytes_per_game, METH_FASTCALL, "observation, mask, /",
                   "Memory held per game in that configuration."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tavrin::engine
