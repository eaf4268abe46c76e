// The module's functions: the catalogue and orientation traits the Python package builds its
// tables from, state decoding, the built-in rules and the search on one game, and outcomes.
#include "_engine/binding.h"

#include <cstdio>

#include "game/agents/policies.h"
#include "game/batch/catalogue_export.h"
#include "game/batch/vector_games.h"
#include "game/colours.h"
#include "game/render.h"
#include "game/scores.h"
#include "game/search/mcts.h"
#include "game/state_bytes.h"

namespace tavrin::engine {
namespace {

using batch::ObservationMode;
using batch::VectorGames;


PyObject* engine_bytes_per_game(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 2) return PyErr_Format(PyExc_TypeError, "bytes_per_game() takes 2 arguments (%zd given)", nargs);
    const long observation = PyLong_AsLong(args[0]);
    if (observation == -1 && PyErr_Occurred()) return nullptr;
    if (observation < 0 || observation > 2)
        return PyErr_Format(PyExc_ValueError, "observation code must be 0, 1 or 2, got %ld", observation);
    const int mask = PyObject_IsTrue(args[1]);
    if (mask < 0) return nullptr;
    return PyLong_FromSize_t(VectorGames::bytes_per_game(static_cast<ObservationMode>(observation), mask != 0));
}

PyObject* catalogue_dict() {
    const ActionSet& set = ActionSet::get();
    const std::vector<batch::OrientationInfo> table = batch::orientation_table(set);
    const batch::FrameTable frames = batch::frame_to_board(set);
    Ref dict(PyDict_New());
    if (!dict.p) return nullptr;
    auto ints = [](std::size_t count, auto value) {
        return tuple_of(count, [&](std::size_t i) { return PyLong_FromSize_t(static_cast<std::size_t>(value(i))); });
    };
    const bool ok =
        put(dict.p, "piece_names",
            tuple_of(KIND_COUNT,
                     [](std::size_t k) {
                         const std::string_view name = PieceType::from_index(static_cast<unsigned>(k)).name();
                         return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
                     })) &&
        put(dict.p, "piece_cells",
            ints(KIND_COUNT, [](std::size_t k) { return PieceType::from_index(static_cast<unsigned>(k)).cells(); })) &&
        put(dict.p, "orientation_kind", ints(table.size(), [&](std::size_t o) { return table[o].kind; })) &&
        put(dict.p, "orientation_cells",
            tuple_of(table.size(),
                     [&](std::size_t o) {
                         const auto& cells = table[o].cells;
                         return tuple_of(cells.size(), [&](std::size_t j) {
                             return Py_BuildValue("(II)", cells[j].first, cells[j].second);
                         });
                     })) &&
        put(dict.p, "anchor_rows", ints(table.size(), [&](std::size_t o) { return table[o].anchor_rows; })) &&
        put(dict.p, "anchor_columns", ints(table.size(), [&](std::size_t o) { return table[o].anchor_columns; })) &&
        put(dict.p, "frame_to_board",
            tuple_of(AGENT_COUNT, [&](std::size_t a) { return ints(frames[a].size(), [&](std::size_t f) { return frames[a][f]; }); })) &&
        put(dict.p, "board_side", PyLong_FromSize_t(BOARD_SIDE)) &&
        put(dict.p, "num_seats", PyLong_FromSize_t(AGENT_COUNT)) &&
        // The observation's channels, as the batched engine writes them: (first channel, count)
        // of each group, seat 0 the observer; "compact" keeps the board groups as planes and the
        // pieces and done flags as small arrays; the flat view lays them end to end.
        put(dict.p, "observation_layout",
            Py_BuildValue("{s(nn)s(nn)s(nn)s(nn)s(nn)snsnsn}", "occupied", Py_ssize_t{0}, Py_ssize_t(AGENT_COUNT),
                          "corners", Py_ssize_t(AGENT_COUNT), Py_ssize_t(AGENT_COUNT), "blocked",
                          Py_ssize_t(2 * AGENT_COUNT), Py_ssize_t(AGENT_COUNT), "pieces",
                          Py_ssize_t(batch::BOARD_CHANNELS), Py_ssize_t(batch::PIECE_CHANNELS), "done",
                          Py_ssize_t(batch::BOARD_CHANNELS + batch::PIECE_CHANNELS), Py_ssize_t(AGENT_COUNT),
                          "channels", Py_ssize_t(batch::FULL_CHANNELS), "board_channels", Py_ssize_t(batch::BOARD_CHANNELS),
                          "flat_size",
                          Py_ssize_t(batch::BOARD_CHANNELS * batch::PLANE_CELLS + batch::PIECE_CHANNELS + AGENT_COUNT))) &&
        put(dict.p, "colours",
            tuple_of(AGENT_COUNT,
                     [](std::size_t a) {
                         const AgentColour& c = AGENT_COLOURS[a];
                         return Py_BuildValue("(s#I(III))", c.name.data(), static_cast<Py_ssize_t>(c.name.size()),
                                              unsigned{c.background}, unsigned{c.rgb[0]}, unsigned{c.rgb[1]},
                                              unsigned{c.rgb[2]});
                     })) &&
        put(dict.p, "num_actions", PyLong_FromSize_t(GRID_SIZE)) &&
        put(dict.p, "num_placements", PyLong_FromSize_t(set.actions.size())) &&
        put(dict.p, "state_size", PyLong_FromSize_t(STATE_SIZE)) &&
        put(dict.p, "state_version", PyLong_FromSize_t(STATE_VERSION));
    return ok ? dict.release() : nullptr;
}

PyObject* engine_catalogue(PyObject*, PyObject*) noexcept { return at_boundary(catalogue_dict); }

PyObject* engine_decode_states(PyObject*, PyObject* states) {
    Py_buffer view;
    if (PyObject_GetBuffer(states, &view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    struct Release {
        Py_buffer* v;
        ~Release() {
            if (!ended_by_interpreter) PyBuffer_Release(v);
        }
    } release{&view};
    const auto bytes = static_cast<std::size_t>(view.len);
    if (bytes % STATE_SIZE != 0)
        return PyErr_Format(PyExc_ValueError, "Not a game state written by to_bytes() of this version "
                            "(%zu bytes is not a whole number of %zu-byte states)", bytes, STATE_SIZE);
    const std::size_t count = bytes / STATE_SIZE;
    constexpr std::size_t PLANE = BOARD_SIDE * BOARD_SIDE;
    Ref owners(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * PLANE)));
    Ref pieces(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * AGENT_COUNT * KIND_COUNT)));
    Ref done(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * AGENT_COUNT)));
    Ref to_move(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count)));
    if (!owners.p || !pieces.p || !done.p || !to_move.p) return nullptr;
    std::size_t bad = count;
    const auto* data = static_cast<const std::uint8_t*>(view.buf);
    if (!without_gil([&] {
            for (std::size_t i = 0; i < count; ++i) {
                const std::optional<Game> game = from_bytes(data + i * STATE_SIZE, STATE_SIZE);
                if (!game) {
                    bad = i;
                    return;
                }
                const batch::DecodedState d = batch::decode_state(*game);
                std::memcpy(PyBytes_AS_STRING(owners.p) + i * PLANE, d.owners.data(), PLANE);
                std::memcpy(PyBytes_AS_STRING(pieces.p) + i * d.pieces.size(), d.pieces.data(), d.pieces.size());
                std::memcpy(PyBytes_AS_STRING(done.p) + i * AGENT_COUNT, d.done.data(), AGENT_COUNT);
                PyBytes_AS_STRING(to_move.p)[i] = static_cast<char>(game->agent_selection);
            }
        }))
        return nullptr;
    if (bad < count)
        return PyErr_Format(PyExc_ValueError, "Not a game state written by to_bytes() of this version (state %zu)", bad);
    return PyTuple_Pack(4, owners.p, pieces.p, done.p, to_move.p);
}

// pick(policy, source, stream): the built-in rule `policy` on a game's state bytes or on an action
// mask, drawing from the stream whose state is `stream`; (grid index or None, the stream's new state).
PyObject* engine_pick(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) return PyErr_Format(PyExc_TypeError, "pick() takes 3 arguments (%zd given)", nargs);
    const long policy = PyLong_AsLong(args[0]);
    if (policy == -1 && PyErr_Occurred()) return nullptr;
    if (policy < 0 || policy >= static_cast<long>(POLICY_COUNT))
        return PyErr_Format(PyExc_ValueError, "policy code must be below %zu, got %ld", POLICY_COUNT, policy);
    Stream stream{PyLong_AsUnsignedLongLongMask(args[2])};
    if (PyErr_Occurred()) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(args[1], &view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    struct Release {
        Py_buffer* v;
        ~Release() {
            if (!ended_by_interpreter) PyBuffer_Release(v);
        }
    } release{&view};
    std::optional<std::uint32_t> g;
    try {
        const auto* data = static_cast<const std::uint8_t*>(view.buf);
        if (static_cast<std::size_t>(view.len) == GRID_SIZE) {
            g = pick_from_mask(data, static_cast<Policy>(policy), stream);
        } else if (static_cast<std::size_t>(view.len) == STATE_SIZE) {
            const std::optional<Game> game = from_bytes(data, STATE_SIZE);
            if (!game)
                return PyErr_Format(PyExc_ValueError, "not a game state written by to_bytes() of this version");
            g = is_over(*game) ? std::nullopt : pick(*game, static_cast<Policy>(policy), stream);
        } else {
            return PyErr_Format(PyExc_ValueError, "source must be %zu mask bytes or %zu state bytes, got %zd bytes",
                                GRID_SIZE, STATE_SIZE, view.len);
        }
    } catch (...) {
        raise_from(std::current_exception());
        return nullptr;
    }
    Ref state(PyLong_FromUnsignedLongLong(stream.state));
    if (!state.p) return nullptr;
    if (!g) return PyTuple_Pack(2, Py_None, state.p);
    Ref action(PyLong_FromUnsignedLong(*g));
    if (!action.p) return nullptr;
    return PyTuple_Pack(2, action.p, state.p);
}

// search(state, playouts, rollout, stream, cpu_ms=0.0): the search agent's move for the agent to
// move in a game's state bytes, seeded by one draw from the stream whose state is `stream`; (grid
// index or None, the stream's new state). Each thread keeps one searcher, so the arena (sized for the
// largest budget that thread has asked for) is allocated once, not per move.
PyObject* engine_search(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"state", "playouts", "rollout", "stream", "cpu_ms", nullptr};
    Py_buffer view;
    Py_ssize_t playouts = 0;
    int rollout = 0;
    PyObject* stream_arg = nullptr;
    double cpu_ms = 0.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*niO|d:search", const_cast<char**>(keywords), &view, &playouts,
                                     &rollout, &stream_arg, &cpu_ms))
        return nullptr;
    struct Release {
        Py_buffer* v;
        ~Release() {
            if (!ended_by_interpreter) PyBuffer_Release(v);
        }
    } release{&view};
    if (playouts < 1 || playouts > static_cast<Py_ssize_t>(search::MAX_PLAYOUTS))
        return PyErr_Format(PyExc_ValueError, "playouts must be from 1 to %u, got %zd", search::MAX_PLAYOUTS, playouts);
    if (rollout < 0 || rollout >= static_cast<int>(POLICY_COUNT))
        return PyErr_Format(PyExc_ValueError, "rollout policy code must be below %zu, got %d", POLICY_COUNT, rollout);
    if (!(cpu_ms >= 0.0)) {
        // PyErr_Format has no floating-point conversions on every supported Python.
        char text[64];
        std::snprintf(text, sizeof text, "cpu_ms must be at least 0, got %g", cpu_ms);
        PyErr_SetString(PyExc_ValueError, text);
        return nullptr;
    }
    Stream stream{PyLong_AsUnsignedLongLongMask(stream_arg)};
    if (PyErr_Occurred()) return nullptr;
    if (static_cast<std::size_t>(view.len) != STATE_SIZE)
        return PyErr_Format(PyExc_ValueError, "state must be %zu bytes, got %zd", STATE_SIZE, view.len);
    std::optional<Game> game;
    try {
        game = from_bytes(static_cast<const std::uint8_t*>(view.buf), STATE_SIZE);
    } catch (...) {
        raise_from(std::current_exception());
        return nullptr;
    }
    if (!game) return PyErr_Format(PyExc_ValueError, "not a game state written by to_bytes() of this version");
    const search::SearchConfig config{.playouts = static_cast<std::uint32_t>(playouts),
                                      .rollout = static_cast<Policy>(rollout),
                                      .cpu_ms = cpu_ms};
    std::optional<std::uint32_t> g;
    if (!without_gil([&] {
            thread_local search::Searcher searcher;
            g = searcher.search(*game, config, stream).move;
        }))
        return nullptr;
    Ref state(PyLong_FromUnsignedLongLong(stream.state));
    if (!state.p) return nullptr;
    if (!g) return PyTuple_Pack(2, Py_None, state.p);
    Ref action(PyLong_FromUnsignedLong(*g));
    if (!action.p) return nullptr;
    return PyTuple_Pack(2, action.p, state.p);
}

// The stream state of game `game` of a run seeded with `seed`.
PyObject* engine_stream_for_game(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 2) return PyErr_Format(PyExc_TypeError, "stream_for_game() takes 2 arguments (%zd given)", nargs);
    const unsigned long long seed = PyLong_AsUnsignedLongLong(args[0]);
    if (seed == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    const unsigned long long game = PyLong_AsUnsignedLongLong(args[1]);
    if (game == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    return PyLong_FromUnsignedLongLong(Stream::for_game(seed, game).state);
}

PyObject* orientation_traits_dict() {
    const OrientationTable& t = OrientationTable::get();
    Ref dict(PyDict_New());
    if (!dict.p) return nullptr;
    auto ints = [](std::size_t count, auto value) {
        return tuple_of(count, [&](std::size_t i) { return PyLong_FromSize_t(static_cast<std::size_t>(value(i))); });
    };
    const bool ok =
        put(dict.p, "kind", ints(ORIENTATION_COUNT, [&](std::size_t o) { return t.orientation[o].kind; })) &&
        put(dict.p, "size", ints(ORIENTATION_COUNT, [&](std::size_t o) { return t.orientation[o].size; })) &&
        put(dict.p, "reach", ints(ORIENTATION_COUNT, [&](std::size_t o) { return t.orientation[o].reach; })) &&
        put(dict.p, "size_start", ints(t.size_start.size(), [&](std::size_t k) { return t.size_start[k]; })) &&
        put(dict.p, "policies", tuple_of(POLICY_COUNT, [](std::size_t k) {
                return PyUnicode_FromStringAndSize(POLICY_NAMES[k].data(), static_cast<Py_ssize_t>(POLICY_NAMES[k].size()));
            }));
    return ok ? dict.release() : nullptr;
}

PyObject* engine_orientation_traits(PyObject*, PyObject*) noexcept { return at_boundary(orientation_traits_dict); }

// outcomes(scores, mode): the outcome in reward mode `mode` of K finished games from their
// official scores (K x 4 int16), as K x 4 float32 bytes.
PyObject* engine_outcomes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) return PyErr_Format(PyExc_TypeError, "outcomes() takes 2 arguments (%zd given)", nargs);
    const long mode = PyLong_AsLong(args[1]);
    if (mode == -1 && PyErr_Occurred()) return nullptr;
    if (mode < 0 || mode > 2) return PyErr_Format(PyExc_ValueError, "reward mode code must be 0, 1 or 2, got %ld", mode);
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    struct Release {
        Py_buffer* v;
        ~Release() {
            if (!ended_by_interpreter) PyBuffer_Release(v);
        }
    } release{&view};
    constexpr std::size_t ROW = AGENT_COUNT * sizeof(std::int16_t);
    const auto bytes = static_cast<std::size_t>(view.len);
    if (bytes % ROW != 0)
        return PyErr_Format(PyExc_ValueError, "scores must be K x 4 int16 (%zu bytes is not a whole number of rows)", bytes);
    const std::size_t count = bytes / ROW;
    Ref out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * AGENT_COUNT * sizeof(float))));
    if (!out.p) return nullptr;
    const auto* data = static_cast<const std::uint8_t*>(view.buf);
    auto* values = reinterpret_cast<float*>(PyBytes_AS_STRING(out.p));
    for (std::size_t i = 0; i < count; ++i) {
        Scores s;
        std::memcpy(s.data(), data + i * ROW, ROW);
        const Outcome o = outcome_from_scores(s, static_cast<RewardMode>(mode));
        std::copy(o.begin(), o.end(), values + i * AGENT_COUNT);
    }
    return out.release();
}

// picture(state): the board's coloured text picture, as the game's render() prints it.
PyObject* engine_picture(PyObject*, PyObject* state) {
    Py_buffer view;
    if (PyObject_GetBuffer(state, &view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    const std::optional<Game> game = static_cast<std::size_t>(view.len) == STATE_SIZE
                                         ? from_bytes(static_cast<const std::uint8_t*>(view.buf), STATE_SIZE)
                                         : std::nullopt;
    PyBuffer_Release(&view);
    if (!game) return PyErr_Format(PyExc_ValueError, "Not a game state written by to_bytes() of this version");
    char text[RENDER_CAPACITY];
    const std::size_t n = render_into(*game, text);
    return PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(n));
}

}  // namespace

PyMethodDef engine_methods[] = {
    {"picture", engine_picture, METH_O,
     "picture($module, state, /)\n--\n\nThe board of 278 state bytes as the coloured text picture render() "
     "prints, without its final line feed."},
    {"outcomes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_outcomes)), METH_FASTCALL,
     "outcomes($module, scores, mode, /)\n--\n\nThe outcome in reward mode `mode` (a code, in "
     "PyTavrin.reward_modes order) of K finished games with these official scores (K x 4 int16), as K x 4 "
     "float32 bytes."},
    {"pick", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_pick)), METH_FASTCALL,
     "pick($module, policy, source, stream, /)\n--\n\nThe built-in rule `policy` (a code, see "
     "orientation_traits()['policies']) for the agent to move, on 278 state bytes or a 36400-byte action mask, "
     "drawing from the stream state `stream`: (grid index or None, the stream's next state)."},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_search)), METH_VARARGS | METH_KEYWORDS,
     "search($module, /, state, playouts, rollout, stream, cpu_ms=0.0)\n--\n\nThe search agent's move for the agent "
     "to move in 278 state bytes: a UCT search of `playouts` playouts (1 to 20000) finished by the rule `rollout` (a "
     "policy code), stopping early after `cpu_ms` of CPU time when given, seeded by one draw from the stream state "
     "`stream`: (grid index or None, the stream's next state). Repeatable for a stream state without cpu_ms."},
    {"stream_for_game", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_stream_for_game)),
     METH_FASTCALL, "stream_for_game($module, seed, game, /)\n--\n\nThe stream state of game number `game` of a run "
     "seeded with `seed`."},
    {"orientation_traits", engine_orientation_traits, METH_NOARGS,
     "orientation_traits($module, /)\n--\n\nPer orientation its kind, size and reach (rows + columns to its farthest "
     "cell), the first orientation of each size (index 1 to 5; 91 for none), and the policy names by code."},
    {"catalogue", engine_catalogue, METH_NOARGS,
     "catalogue($module, /)\n--\n\nThe piece kinds, the 91 orientations (kind, cells, anchor ranges), each "
     "agent's frame as board cells, and the sizes of the action grid and the state bytes."},
    {"decode_states", engine_decode_states, METH_O,
     "decode_states($module, states, /)\n--\n\nK states of to_bytes() (K x 278 bytes) as bytes: owners "
     "(K x 400 int8, -1 free), pieces (K x 4 x 21), done (K x 4) and the agent to move (K)."},
    {"bytes_per_game", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_bytes_per_game)),
     METH_FASTCALL, "bytes_per_game(observation, mask, /)\n--\n\nMemory held per game in that configuration."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tavrin::engine
