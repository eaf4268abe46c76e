// VectorGames's methods: reset, step and the built-in rules' actions, play-outs of whole games,
// legal actions, state bytes in and out, and the read-only views of its output arrays. Each holds
// the object for its caller alone (exclusive) and runs the engine without the GIL.
#include "_engine/vector_object.h"

#include <cstring>

#include "game/state_bytes.h"

namespace tavrin::engine {
namespace {

using batch::BatchError;
using batch::Seat;
using batch::VectorGames;
using binding::arity;
using binding::bytes_of;
using binding::to_code;

// The batch error as ValueError naming the game.
PyObject* raise_batch_error(const BatchError& e) noexcept {
    switch (e.reason) {
        case BatchError::Reason::OutOfRange:
            return PyErr_Format(PyExc_ValueError, "game %zu: action %lld is out of range [0, %zu)", e.game,
                                static_cast<long long>(e.action), GRID_SIZE);
        case BatchError::Reason::Illegal:
            return PyErr_Format(PyExc_ValueError, "game %zu: action %lld is not a legal placement of player %zu",
                                e.game, static_cast<long long>(e.action), e.player);
        default:
            return PyErr_Format(PyExc_ValueError, "game %zu: not a game state written by to_bytes() of this version",
                                e.game);
    }
}

// The N-byte selection `arg` copied in; empty for None (every game).
std::optional<std::span<const std::uint8_t>> selection(VectorObject& v, PyObject* arg) {
    if (arg == Py_None) return std::span<const std::uint8_t>();
    return binding::copy_in(arg, "games", std::span(*v.which));
}

PyObject* vector_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("reset()", nargs, 2, 3)) return nullptr;
    return exclusive(self, [&](VectorObject& v, VectorGames& engine) -> PyObject* {
        std::optional<std::uint64_t> seed;
        if (args[0] != Py_None && !(seed = binding::to_u64(args[0]))) return nullptr;
        std::optional<std::uint64_t> first_game = 0;
        if (nargs == 3 && !(first_game = binding::to_u64(args[2]))) return nullptr;
        const auto which = selection(v, args[1]);
        if (!which) return nullptr;
        without_gil([&] { engine.reset(seed, *which, *first_game); });
        Py_RETURN_NONE;
    });
}

PyObject* vector_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("step()", nargs, 1, 2)) return nullptr;
    return exclusive(self, [&](VectorObject& v, VectorGames& engine) -> PyObject* {
        const auto actions = binding::copy_in(args[0], "actions", std::span(*v.actions));
        if (!actions) return nullptr;
        const auto which = nargs == 2 ? selection(v, args[1]) : std::span<const std::uint8_t>();
        if (!which) return nullptr;
        std::optional<BatchError> error;
        without_gil([&] { error = engine.step(*actions, *which); });
        if (error) return raise_batch_error(*error);
        Py_RETURN_NONE;
    });
}

PyObject* vector_sample_actions(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("sample_actions()", nargs, 2, 2)) return nullptr;
    return exclusive(self, [&](VectorObject& v, VectorGames& engine) -> PyObject* {
        // One policy code for every game, or an N-byte array of them (copied, as step's actions are).
        Policy one = Policy::Random;
        std::span<const Policy> policies(&one, 1);
        if (PyLong_Check(args[0])) {
            const auto code = to_code(args[0], "policy code", POLICY_COUNT);
            if (!code) return nullptr;
            one = static_cast<Policy>(*code);
        } else {
            static_assert(sizeof(Policy) == 1, "policy codes arrive as bytes");
            const auto codes = binding::copy_in(args[0], "policies", std::span(*v.policies));
            if (!codes) return nullptr;
            for (std::size_t i = 0; i < codes->size(); ++i) {
                const auto code = static_cast<unsigned>((*codes)[i]);
                if (code >= POLICY_COUNT)
                    return PyErr_Format(PyExc_ValueError, "game %zu: policy code must be below %zu, got %u", i,
                                        POLICY_COUNT, code);
            }
            policies = *codes;
        }
        Buffer out;
        if (!out.get(args[1], "out", engine.size(), sizeof(std::int32_t), true)) return nullptr;
        without_gil([&] { engine.sample_actions(policies, out.as<std::int32_t>()); });
        Py_RETURN_NONE;
    });
}

// play_out(seats, settings, max_plies, states, actions, agents, plies): see VectorGames::play_out.
PyObject* vector_play_out(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("play_out()", nargs, 7, 8)) return nullptr;
    return exclusive(self, [&](VectorObject&, VectorGames& engine) -> PyObject* {
        std::array<Seat, AGENT_COUNT> seats{};
        Buffer codes;
        if (!codes.get(args[0], "seats", AGENT_COUNT, 1, false)) return nullptr;
        for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
            const unsigned code = codes.as<const std::uint8_t>()[a];
            seats[a] = static_cast<Seat>(code);
            if (code >= batch::SEAT_KINDS || batch::played_outside(seats[a]))
                return PyErr_Format(PyExc_ValueError, "play_out plays engine seats only, got seat code %u", code);
        }
        std::array<batch::SeatSettings, AGENT_COUNT> settings{};
        if (!read_settings(state_of(PyType_GetModule(Py_TYPE(self)))->net_type, args[1], settings)) return nullptr;
        const Py_ssize_t max_plies = PyLong_AsSsize_t(args[2]);
        if (max_plies == -1 && PyErr_Occurred()) return nullptr;
        if (max_plies < static_cast<Py_ssize_t>(AGENT_COUNT * KIND_COUNT))
            return PyErr_Format(PyExc_ValueError, "max_plies must be at least %zu, got %zd", AGENT_COUNT * KIND_COUNT,
                                max_plies);
        const std::size_t rows = engine.size() * static_cast<std::size_t>(max_plies);
        Buffer states, actions, agents, plies;
        if (!states.get(args[3], "states", rows * STATE_SIZE, 1, true) ||
            !actions.get(args[4], "actions", rows, sizeof(std::uint16_t), true) ||
            !agents.get(args[5], "agents", rows, 1, true) ||
            !plies.get(args[6], "plies", engine.size(), sizeof(std::int16_t), true))
            return nullptr;
        int want_visits = 0;
        if (nargs > 7 && (want_visits = PyObject_IsTrue(args[7])) < 0) return nullptr;
        std::vector<std::vector<batch::RootVisit>> visits(want_visits ? engine.size() : 0);
        without_gil([&] {
            engine.play_out(seats, settings, static_cast<std::size_t>(max_plies), states.as<std::uint8_t>().data(),
                            actions.as<std::uint16_t>().data(), agents.as<std::int8_t>().data(),
                            plies.as<std::int16_t>().data(), want_visits ? visits.data() : nullptr);
        });
        if (!want_visits) Py_RETURN_NONE;
        // The entries of every game in game order, as four columns.
        std::size_t total = 0;
        for (const auto& list : visits) total += list.size();
        std::vector<std::int32_t> game(total);
        std::vector<std::int16_t> ply(total);
        std::vector<std::uint16_t> action(total);
        std::vector<std::uint32_t> count(total);
        std::size_t at = 0;
        for (std::size_t i = 0; i < visits.size(); ++i) {
            for (const batch::RootVisit& v : visits[i]) {
                game[at] = static_cast<std::int32_t>(i);
                ply[at] = static_cast<std::int16_t>(v.ply);
                action[at] = v.action;
                count[at++] = v.visits;
            }
        }
        const auto bytes_of = [](const auto& column) {
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(column.data()),
                                             static_cast<Py_ssize_t>(column.size() * sizeof(column[0])));
        };
        return Py_BuildValue("(NNNN)", bytes_of(game), bytes_of(ply), bytes_of(action), bytes_of(count));
    });
}

PyObject* vector_legal_actions(PyObject* self, PyObject*) {
    return exclusive(self, [&](VectorObject&, VectorGames& engine) -> PyObject* {
        std::vector<std::int64_t> offsets;
        std::vector<std::int32_t> actions;
        without_gil([&] { engine.legal_actions(offsets, actions); });
        const PyRef o = PyRef::steal(bytes_of<std::int64_t>(offsets));
        if (!o) return nullptr;
        const PyRef a = PyRef::steal(bytes_of<std::int32_t>(actions));
        if (!a) return nullptr;
        return PyTuple_Pack(2, o.get(), a.get());
    });
}

PyObject* vector_load(PyObject* self, PyObject* states) {
    return exclusive(self, [&](VectorObject&, VectorGames& engine) -> PyObject* {
        Buffer buffer;
        if (!buffer.get(states, "states", engine.size() * STATE_SIZE, 1, false)) return nullptr;
        std::optional<BatchError> error;
        without_gil([&] { error = engine.load(buffer.as<const std::uint8_t>()); });
        if (error) return raise_batch_error(*error);
        Py_RETURN_NONE;
    });
}

PyObject* vector_to_bytes(PyObject* self, PyObject* out) {
    return exclusive(self, [&](VectorObject&, VectorGames& engine) -> PyObject* {
        Buffer buffer;
        if (!buffer.get(out, "out", engine.size() * STATE_SIZE, 1, true)) return nullptr;
        without_gil([&] { engine.to_bytes(buffer.as<std::uint8_t>()); });
        Py_RETURN_NONE;
    });
}

// Game i's index, checked against the batch size.
std::optional<std::size_t> game_index(PyObject* arg, const VectorGames& engine) noexcept {
    const Py_ssize_t i = PyNumber_AsSsize_t(arg, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return std::nullopt;
    if (i < 0 || static_cast<std::size_t>(i) >= engine.size()) {
        PyErr_Format(PyExc_IndexError, "game index %zd out of range [0, %zu)", i, engine.size());
        return std::nullopt;
    }
    return static_cast<std::size_t>(i);
}

PyObject* vector_game_bytes(PyObject* self, PyObject* arg) {
    return exclusive(self, [&](VectorObject&, VectorGames& engine) -> PyObject* {
        const auto i = game_index(arg, engine);
        if (!i) return nullptr;
        return bytes_of<std::uint8_t>(to_bytes(engine.game(*i)));
    });
}

PyObject* vector_final_bytes(PyObject* self, PyObject* arg) {
    return exclusive(self, [&](VectorObject&, VectorGames& engine) -> PyObject* {
        const auto i = game_index(arg, engine);
        if (!i) return nullptr;
        const std::optional<StateBytes> state = engine.final_state(*i);
        if (!state) Py_RETURN_NONE;
        return bytes_of<std::uint8_t>(*state);
    });
}

// One output array: its name, where the engine keeps it, and its element type and shape.
struct OutputArray {
    const char* name;
    const void* data;
    ArrayLayout layout;
};

// The output arrays of `engine`; an array the mode leaves out has null data.
std::array<OutputArray, 9> output_arrays(const VectorGames& engine) noexcept {
    const std::size_t n = engine.size();
    const std::size_t channels = VectorGames::observation_channels(engine.config().observation);
    using std::uint8_t;
    return {{
        {"observation", engine.observation(), ArrayLayout::of<uint8_t>({n, channels, BOARD_SIDE, BOARD_SIDE})},
        {"pieces", engine.pieces(), ArrayLayout::of<uint8_t>({n, AGENT_COUNT, KIND_COUNT})},
        {"done", engine.done(), ArrayLayout::of<uint8_t>({n, AGENT_COUNT})},
        {"legal_action_mask", engine.legal_action_mask(), ArrayLayout::of<bool>({n, GRID_SIZE})},
        {"current_player", engine.current_player(), ArrayLayout::of<std::int8_t>({n})},
        {"rewards", engine.rewards(), ArrayLayout::of<float>({n, AGENT_COUNT})},
        {"terminated", engine.terminated(), ArrayLayout::of<bool>({n})},
        {"final_scores", engine.final_scores(), ArrayLayout::of<std::int16_t>({n, AGENT_COUNT})},
        {"lineup", engine.lineup(), ArrayLayout::of<uint8_t>({n, AGENT_COUNT})},
    }};
}
static_assert(sizeof(bool) == 1, "the 0/1 byte arrays are exported as bool");

// A read-only view of one output array, or None when the mode has no such array.
PyObject* vector_view(PyObject* self, PyObject* name) {
    if (!PyUnicode_Check(name)) return PyErr_Format(PyExc_TypeError, "view name must be a str");
    const char* text = PyUnicode_AsUTF8(name);
    if (text == nullptr) return nullptr;
    for (const OutputArray& array : output_arrays(*as_vector(self)->engine)) {
        if (std::strcmp(array.name, text) != 0) continue;
        if (array.data == nullptr) Py_RETURN_NONE;
        return new_view(state_of(PyType_GetModule(Py_TYPE(self)))->view_type, self, array.data, array.layout);
    }
    return PyErr_Format(PyExc_ValueError, "no array named %R", name);
}

}  // namespace

PyMethodDef vector_methods[] = {
    BINDING_METHOD(reset, vector_reset, METH_FASTCALL, "$self, seed, games, first_game=0, /",
                   "Every game new, or those flagged in games (N bytes); reseeds their streams (game i's from seed "
                   "and first_game + i) unless seed is None."),
    BINDING_METHOD(step, vector_step, METH_FASTCALL, "$self, actions, games=None, /",
                   "One int32 grid index per game; only the games flagged in games (N bytes) when given."),
    BINDING_METHOD(sample_actions, vector_sample_actions, METH_FASTCALL, "$self, policy, out, /",
                   "Writes one action per game into out (int32); policy is one policy code or N bytes of them."),
    BINDING_METHOD(play_out, vector_play_out, METH_FASTCALL,
                   "$self, seats, settings, max_plies, states, actions, agents, plies, visits=False, /",
                   "Plays every unfinished game to its end, agent k as the engine seat code seats[k] with the "
                   "settings settings[k] (None or a dict, as VectorGames takes them), recording each placement (state before it, grid index, "
                   "agent) in row i x max_plies + p of the writable buffers, and each game's count in plies (int16). "
                   "With visits true, returns the root visits of every search that made playouts as bytes of four "
                   "columns (game int32, placement int16, grid index uint16, visits uint32); otherwise None."),
    BINDING_METHOD(legal_actions, vector_legal_actions, METH_NOARGS, "$self, /",
                   "(offsets as int64 bytes, actions as int32 bytes)."),
    BINDING_METHOD(load, vector_load, METH_O, "$self, states, /", "Every game from N x 278 state bytes."),
    BINDING_METHOD(to_bytes, vector_to_bytes, METH_O, "$self, out, /", "Writes N x 278 state bytes into out."),
    BINDING_METHOD(game_bytes, vector_game_bytes, METH_O, "$self, i, /", "The state bytes of game i."),
    BINDING_METHOD(final_bytes, vector_final_bytes, METH_O, "$self, i, /",
                   "The state bytes of game i as it ended on the last step, or None."),
    BINDING_METHOD(view, vector_view, METH_O, "$self, name, /",
                   "A read-only array over one output, with its element type and shape."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tavrin::engine
