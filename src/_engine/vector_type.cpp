// The module's VectorGames type: the batched engine behind tavrin_rl.vector. Arguments are checked
// here, copied where the engine must see exactly what was checked; the work runs without the GIL.
#include "_engine/binding.h"

#include "game/agents/policies.h"
#include "game/batch/vector_games.h"
#include "game/search/mcts.h"
#include "game/state_bytes.h"

namespace tavrin::engine {
namespace {

using batch::BatchError;
using batch::Config;
using batch::ObservationMode;
using batch::Seat;
using batch::VectorGames;


struct VectorObject {
    PyObject_HEAD
    VectorGames* engine;
    std::atomic<bool> busy;
    // The caller's actions and selection, copied while the GIL is held: another thread may write
    // into the caller's arrays while the engine works without it, and the engine must apply
    // exactly what it checked. Allocated once, at the batch's size.
    std::vector<std::int32_t>* actions;
    std::vector<std::uint8_t>* which;
    std::vector<Policy>* policies;
};

// Refuses a second caller at once instead of waiting: a thread waiting here while holding the GIL
// would stall the one that must take it back to finish.
class Exclusive {
 public:
    explicit Exclusive(VectorObject* self) noexcept : self_(self) {
        // Acquire: the previous holder's writes to the engine are visible to this one.
        ok_ = !self_->busy.exchange(true, std::memory_order_acquire);
        if (!ok_) PyErr_SetString(PyExc_RuntimeError, "VectorGames is in use by another thread");
    }
    ~Exclusive() {
        // Release: publishes this holder's writes to the next.
        if (ok_) self_->busy.store(false, std::memory_order_release);
    }
    explicit operator bool() const noexcept { return ok_; }

 private:
    VectorObject* self_;
    bool ok_;
};

VectorObject* as_vector(PyObject* self) noexcept { return reinterpret_cast<VectorObject*>(self); }

PyObject* vector_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"num_games", "threads",   "observation",  "mask", "reward_mode",
                                     "autoreset", "seats", "rotate_seats", "search_playouts", "search_rollout",
                                     nullptr};
    Py_ssize_t num_games = 0, threads = 1;
    int observation = 2, mask = 1, reward_mode = 1, autoreset = 1, rotate = 0;
    const char* seats = nullptr;
    Py_ssize_t seats_len = 0;
    Py_ssize_t search_playouts = search::SearchConfig{}.playouts;
    int search_rollout = static_cast<int>(search::SearchConfig{}.rollout);
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "n|nipipy#pni:VectorGames", const_cast<char**>(keywords),
                                     &num_games, &threads, &observation, &mask, &reward_mode, &autoreset, &seats,
                                     &seats_len, &rotate, &search_playouts, &search_rollout))
        return nullptr;
    if (search_playouts < 1 || search_playouts > static_cast<Py_ssize_t>(search::MAX_PLAYOUTS))
        return PyErr_Format(PyExc_ValueError, "search_playouts must be from 1 to %u, got %zd", search::MAX_PLAYOUTS,
                            search_playouts);
    if (search_rollout < 0 || search_rollout >= static_cast<int>(POLICY_COUNT))
        return PyErr_Format(PyExc_ValueError, "search_rollout policy code must be below %zu, got %d", POLICY_COUNT,
                            search_rollout);
    if (num_games < 1) return PyErr_Format(PyExc_ValueError, "num_games must be at least 1, got %zd", num_games);
    if (threads < 1 || threads > 1024)
        return PyErr_Format(PyExc_ValueError, "threads must be from 1 to 1024, got %zd", threads);
    if (observation < 0 || observation > 2)
        return PyErr_Format(PyExc_ValueError, "observation code must be 0, 1 or 2, got %d", observation);
    if (reward_mode < 0 || reward_mode > 2)
        return PyErr_Format(PyExc_ValueError, "reward mode code must be 0, 1 or 2, got %d", reward_mode);
    Config config;
    config.num_games = static_cast<std::size_t>(num_games);
    config.threads = static_cast<std::size_t>(threads);
    config.observation = static_cast<ObservationMode>(observation);
    config.mask = mask != 0;
    config.reward_mode = static_cast<RewardMode>(reward_mode);
    config.autoreset = autoreset != 0;
    config.rotate_seats = rotate != 0;
    config.search_playouts = static_cast<std::uint32_t>(search_playouts);
    config.search_rollout = static_cast<Policy>(search_rollout);
    if (seats != nullptr) {
        if (seats_len != static_cast<Py_ssize_t>(AGENT_COUNT))
            return PyErr_Format(PyExc_ValueError, "seats must be %zu seat codes, got %zd", AGENT_COUNT, seats_len);
        for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
            const auto code = static_cast<unsigned char>(seats[a]);
            if (code >= batch::SEAT_KINDS)
                return PyErr_Format(PyExc_ValueError, "seat code must be below %zu, got %u", batch::SEAT_KINDS, code);
            config.seats[a] = static_cast<Seat>(code);
        }
    }

    Ref self(type->tp_alloc(type, 0));
    if (!self.p) return nullptr;
    VectorObject* v = as_vector(self.p);
    new (&v->busy) std::atomic<bool>(false);
    v->engine = nullptr;
    v->actions = nullptr;
    v->which = nullptr;
    v->policies = nullptr;
    try {
        v->actions = new std::vector<std::int32_t>(config.num_games);
        v->which = new std::vector<std::uint8_t>(config.num_games);
        v->policies = new std::vector<Policy>(config.num_games);
    } catch (...) {
        raise_from(std::current_exception());
        return nullptr;
    }
    VectorGames* engine = nullptr;
    if (!without_gil([&] { engine = new VectorGames(config); })) return nullptr;
    v->engine = engine;
    return self.release();
}

void vector_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    VectorGames* engine = std::exchange(as_vector(self)->engine, nullptr);
    // Joining the pool's threads can take a moment; other Python threads may run meanwhile.
    if (engine != nullptr) (void)without_gil([&] { delete engine; });
    delete std::exchange(as_vector(self)->actions, nullptr);
    delete std::exchange(as_vector(self)->which, nullptr);
    delete std::exchange(as_vector(self)->policies, nullptr);
    as_vector(self)->busy.~atomic();
    type->tp_free(self);
    Py_DECREF(type);
}

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

// Copies the N-byte selection `arg` (None: every game) into the object's own buffer.
bool copy_selection(VectorObject* v, PyObject* arg, std::span<const std::uint8_t>& which) {
    which = {};
    if (arg == Py_None) return true;
    Buffer buffer;
    const std::size_t n = v->engine->size();
    if (!buffer.get(arg, "games", n, 1, false)) return false;
    std::memcpy(v->which->data(), buffer.data(), n);
    which = std::span<const std::uint8_t>(v->which->data(), n);
    return true;
}

PyObject* vector_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 && nargs != 3) return PyErr_Format(PyExc_TypeError, "reset() takes 2 or 3 arguments (%zd given)", nargs);
    Exclusive guard(as_vector(self));
    if (!guard) return nullptr;
    VectorGames& engine = *as_vector(self)->engine;
    std::optional<std::uint64_t> seed;
    if (args[0] != Py_None) {
        const unsigned long long value = PyLong_AsUnsignedLongLong(args[0]);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
        seed = value;
    }
    std::uint64_t first_game = 0;
    if (nargs == 3) {
        first_game = PyLong_AsUnsignedLongLong(args[2]);
        if (first_game == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    }
    std::span<const std::uint8_t> which;
    if (!copy_selection(as_vector(self), args[1], which)) return nullptr;
    if (!without_gil([&] { engine.reset(seed, which, first_game); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* vector_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1 && nargs != 2) return PyErr_Format(PyExc_TypeError, "step() takes 1 or 2 arguments (%zd given)", nargs);
    Exclusive guard(as_vector(self));
    if (!guard) return nullptr;
    VectorGames& engine = *as_vector(self)->engine;
    std::span<const std::int32_t> span;
    {
        Buffer buffer;
        if (!buffer.get(args[0], "actions", engine.size(), sizeof(std::int32_t), false)) return nullptr;
        std::memcpy(as_vector(self)->actions->data(), buffer.data(), engine.size() * sizeof(std::int32_t));
        span = std::span<const std::int32_t>(as_vector(self)->actions->data(), engine.size());
    }
    std::span<const std::uint8_t> which;
    if (nargs == 2 && !copy_selection(as_vector(self), args[1], which)) return nullptr;
    std::optional<BatchError> error;
    if (!without_gil([&] { error = engine.step(span, which); })) return nullptr;
    if (error) return raise_batch_error(*error);
    Py_RETURN_NONE;
}

PyObject* vector_sample_actions(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) return PyErr_Format(PyExc_TypeError, "sample_actions() takes 2 arguments (%zd given)", nargs);
    Exclusive guard(as_vector(self));
    if (!guard) return nullptr;
    VectorGames& engine = *as_vector(self)->engine;
    // One policy code for every game, or an N-byte array of them (copied, as step's actions are).
    Policy one = Policy::Random;
    std::span<const Policy> policies(&one, 1);
    if (PyLong_Check(args[0])) {
        const long policy = PyLong_AsLong(args[0]);
        if (policy == -1 && PyErr_Occurred()) return nullptr;
        if (policy < 0 || policy >= static_cast<long>(POLICY_COUNT))
            return PyErr_Format(PyExc_ValueError, "policy code must be below %zu, got %ld", POLICY_COUNT, policy);
        one = static_cast<Policy>(policy);
    } else {
        Buffer codes;
        if (!codes.get(args[0], "policies", engine.size(), 1, false)) return nullptr;
        std::vector<Policy>& kept = *as_vector(self)->policies;
        const auto* bytes = static_cast<const std::uint8_t*>(codes.data());
        for (std::size_t i = 0; i < engine.size(); ++i) {
            if (bytes[i] >= POLICY_COUNT)
                return PyErr_Format(PyExc_ValueError, "game %zu: policy code must be below %zu, got %u", i, POLICY_COUNT,
                                    static_cast<unsigned>(bytes[i]));
            kept[i] = static_cast<Policy>(bytes[i]);
        }
        policies = std::span<const Policy>(kept.data(), engine.size());
    }
    Buffer out;
    if (!out.get(args[1], "out", engine.size(), sizeof(std::int32_t), true)) return nullptr;
    const std::span<std::int32_t> span(static_cast<std::int32_t*>(out.data()), engine.size());
    if (!without_gil([&] { engine.sample_actions(policies, span); })) return nullptr;
    Py_RETURN_NONE;
}

// play_out(seats, playouts, rollout, max_plies, states, actions, agents, plies): see
// VectorGames::play_out.
PyObject* vector_play_out(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 8) return PyErr_Format(PyExc_TypeError, "play_out() takes 8 arguments (%zd given)", nargs);
    Exclusive guard(as_vector(self));
    if (!guard) return nullptr;
    VectorGames& engine = *as_vector(self)->engine;
    std::array<Seat, AGENT_COUNT> seats{};
    {
        Buffer codes;
        if (!codes.get(args[0], "seats", AGENT_COUNT, 1, false)) return nullptr;
        for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
            const unsigned code = static_cast<const std::uint8_t*>(codes.data())[a];
            const auto seat = static_cast<Seat>(code);
            if (code >= batch::SEAT_KINDS || batch::played_outside(seat))
                return PyErr_Format(PyExc_ValueError, "play_out plays engine seats only, got seat code %u", code);
            seats[a] = seat;
        }
    }
    search::SearchConfig search;
    const long playouts = PyLong_AsLong(args[1]);
    if (playouts == -1 && PyErr_Occurred()) return nullptr;
    const long rollout = PyLong_AsLong(args[2]);
    if (rollout == -1 && PyErr_Occurred()) return nullptr;
    if (playouts < 1 || playouts > static_cast<long>(search::MAX_PLAYOUTS) || rollout < 0 ||
        rollout >= static_cast<long>(POLICY_COUNT))
        return PyErr_Format(PyExc_ValueError, "search playouts must be from 1 to %zu and the rollout a policy code",
                            static_cast<std::size_t>(search::MAX_PLAYOUTS));
    search.playouts = static_cast<std::uint32_t>(playouts);
    search.rollout = static_cast<Policy>(rollout);
    args += 2;
    const Py_ssize_t max_plies = PyLong_AsSsize_t(args[1]);
    if (max_plies == -1 && PyErr_Occurred()) return nullptr;
    if (max_plies < static_cast<Py_ssize_t>(AGENT_COUNT * KIND_COUNT))
        return PyErr_Format(PyExc_ValueError, "max_plies must be at least %zu, got %zd", AGENT_COUNT * KIND_COUNT, max_plies);
    const std::size_t rows = engine.size() * static_cast<std::size_t>(max_plies);
    Buffer states, actions, agents, plies;
    if (!states.get(args[2], "states", rows * STATE_SIZE, 1, true) ||
        !actions.get(args[3], "actions", rows, sizeof(std::uint16_t), true) ||
        !agents.get(args[4], "agents", rows, 1, true) ||
        !plies.get(args[5], "plies", engine.size(), sizeof(std::int16_t), true))
        return nullptr;
    if (!without_gil([&] {
            engine.play_out(seats, search, static_cast<std::size_t>(max_plies), static_cast<std::uint8_t*>(states.data()),
                            static_cast<std::uint16_t*>(actions.data()), static_cast<std::int8_t*>(agents.data()),
                            static_cast<std::int16_t*>(plies.data()));
        }))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* vector_legal_actions(PyObject* self, PyObject*) {
    Exclusive guard(as_vector(self));
    if (!guard) return nullptr;
    std::vector<std::int64_t> offsets;
    std::vector<std::int32_t> actions;
    if (!without_gil([&] { as_vector(self)->engine->legal_actions(offsets, actions); })) return nullptr;
    Ref o(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(offsets.data()),
                                    static_cast<Py_ssize_t>(offsets.size() * sizeof(std::int64_t))));
    if (!o.p) return nullptr;
    Ref a(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(actions.data()),
                                    static_cast<Py_ssize_t>(actions.size() * sizeof(std::int32_t))));
    if (!a.p) return nullptr;
    return PyTuple_Pack(2, o.p, a.p);
}

PyObject* vector_load(PyObject* self, PyObject* states) {
    Exclusive guard(as_vector(self));
    if (!guard) return nullptr;
    VectorGames& engine = *as_vector(self)->engine;
    Buffer buffer;
    if (!buffer.get(states, "states", engine.size() * STATE_SIZE, 1, false)) return nullptr;
    const std::span<const std::uint8_t> span(static_cast<const std::uint8_t*>(buffer.data()), engine.size() * STATE_SIZE);
    std::optional<BatchError> error;
    if (!without_gil([&] { error = engine.load(span); })) return nullptr;
    if (error) return raise_batch_error(*error);
    Py_RETURN_NONE;
}

PyObject* vector_to_bytes(PyObject* self, PyObject* out) {
    Exclusive guard(as_vector(self));
    if (!guard) return nullptr;
    VectorGames& engine = *as_vector(self)->engine;
    Buffer buffer;
    if (!buffer.get(out, "out", engine.size() * STATE_SIZE, 1, true)) return nullptr;
    const std::span<std::uint8_t> span(static_cast<std::uint8_t*>(buffer.data()), engine.size() * STATE_SIZE);
    if (!without_gil([&] { engine.to_bytes(span); })) return nullptr;
    Py_RETURN_NONE;
}

// Game i's index, checked against the batch size.
bool game_index(PyObject* arg, const VectorGames& engine, std::size_t& out) noexcept {
    const Py_ssize_t i = PyNumber_AsSsize_t(arg, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return false;
    if (i < 0 || static_cast<std::size_t>(i) >= engine.size()) {
        PyErr_Format(PyExc_IndexError, "game index %zd out of range [0, %zu)", i, engine.size());
        return false;
    }
    out = static_cast<std::size_t>(i);
    return true;
}

PyObject* state_bytes(const Game& game) noexcept {
    const StateBytes bytes = to_bytes(game);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), STATE_SIZE);
}

PyObject* vector_game_bytes(PyObject* self, PyObject* arg) noexcept {
    Exclusive guard(as_vector(self));
    if (!guard) return nullptr;
    std::size_t i = 0;
    if (!game_index(arg, *as_vector(self)->engine, i)) return nullptr;
    return state_bytes(as_vector(self)->engine->game(i));
}

PyObject* vector_final_bytes(PyObject* self, PyObject* arg) noexcept {
    Exclusive guard(as_vector(self));
    if (!guard) return nullptr;
    std::size_t i = 0;
    if (!game_index(arg, *as_vector(self)->engine, i)) return nullptr;
    const std::optional<StateBytes> state = as_vector(self)->engine->final_state(i);
    if (!state) Py_RETURN_NONE;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(state->data()), STATE_SIZE);
}

// A read-only view of one output array, or None when the mode has no such array.
PyObject* vector_view(PyObject* self, PyObject* name) noexcept {
    if (!PyUnicode_Check(name)) return PyErr_Format(PyExc_TypeError, "view name must be a str");
    const VectorGames& engine = *as_vector(self)->engine;
    const std::size_t n = engine.size();
    const char* text = PyUnicode_AsUTF8(name);
    if (text == nullptr) return nullptr;
    const std::string key(text);
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (key == "observation") {
        data = engine.observation();
        bytes = n * VectorGames::observation_channels(engine.config().observation) * batch::PLANE_CELLS;
    } else if (key == "pieces") {
        data = engine.pieces();
        bytes = n * batch::PIECE_CHANNELS;
    } else if (key == "done") {
        data = engine.done();
        bytes = n * AGENT_COUNT;
    } else if (key == "legal_action_mask") {
        data = engine.legal_action_mask();
        bytes = n * GRID_SIZE;
    } else if (key == "current_player") {
        data = engine.current_player();
        bytes = n;
    } else if (key == "rewards") {
        data = engine.rewards();
        bytes = n * AGENT_COUNT * sizeof(float);
    } else if (key == "terminated") {
        data = engine.terminated();
        bytes = n;
    } else if (key == "final_scores") {
        data = engine.final_scores();
        bytes = n * AGENT_COUNT * sizeof(std::int16_t);
    } else if (key == "lineup") {
        data = engine.lineup();
        bytes = n * AGENT_COUNT;
    } else {
        return PyErr_Format(PyExc_ValueError, "no array named %R", name);
    }
    if (data == nullptr) Py_RETURN_NONE;
    return new_view(state_of(PyType_GetModule(Py_TYPE(self)))->view_type, self, data, bytes);
}

PyObject* vector_get_num_games(PyObject* self, void*) noexcept {
    return PyLong_FromSize_t(as_vector(self)->engine->size());
}

PyObject* vector_get_threads(PyObject* self, void*) noexcept {
    return PyLong_FromSize_t(as_vector(self)->engine->threads());
}

PyMethodDef vector_methods[] = {
    {"reset", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vector_reset)), METH_FASTCALL,
     "reset($self, seed, games, first_game=0, /)\n--\n\nEvery game new, or those flagged in games (N bytes); "
     "reseeds their streams (game i's from seed and first_game + i) unless seed is None."},
    {"step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vector_step)), METH_FASTCALL,
     "step($self, actions, games=None, /)\n--\n\nOne int32 grid index per game; only the games flagged in games "
     "(N bytes) when given."},
    {"sample_actions", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vector_sample_actions)),
     METH_FASTCALL, "sample_actions($self, policy, out, /)\n--\n\nWrites one action per game into out (int32); policy is "
     "one policy code or N bytes of them."},
    {"play_out", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vector_play_out)), METH_FASTCALL,
     "play_out($self, seats, playouts, rollout, max_plies, states, actions, agents, plies, /)\n--\n\nPlays every "
     "unfinished game to its end, agent k as the engine seat code seats[k] (a search with those playouts and "
     "rollout policy code), recording each placement (state before it, grid index, agent) "
     "in row i x max_plies + p of the writable buffers, and each game's count in plies (int16)."},
    {"legal_actions", vector_legal_actions, METH_NOARGS,
     "legal_actions($self, /)\n--\n\n(offsets as int64 bytes, actions as int32 bytes)."},
    {"load", vector_load, METH_O, "load($self, states, /)\n--\n\nEvery game from N x 278 state bytes."},
    {"to_bytes", vector_to_bytes, METH_O, "to_bytes($self, out, /)\n--\n\nWrites N x 278 state bytes into out."},
    {"game_bytes", vector_game_bytes, METH_O, "game_bytes($self, i, /)\n--\n\nThe state bytes of game i."},
    {"final_bytes", vector_final_bytes, METH_O,
     "final_bytes($self, i, /)\n--\n\nThe state bytes of game i as it ended on the last step, or None."},
    {"view", vector_view, METH_O, "view($self, name, /)\n--\n\nA read-only buffer over one output array."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef vector_getset[] = {
    {"num_games", vector_get_num_games, nullptr, "The number of games.", nullptr},
    {"threads", vector_get_threads, nullptr, "The number of threads that step the games.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot vector_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(vector_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(vector_dealloc)},
    {Py_tp_methods, vector_methods},
    {Py_tp_getset, vector_getset},
    {Py_tp_doc, const_cast<char*>("VectorGames(num_games, threads=1, observation=2, mask=True, reward_mode=1, "
                                  "autoreset=True, seats=None, rotate_seats=False, search_playouts=120, "
                                  "search_rollout=2)\n--\n\nThe batched engine; use "
                                  "tavrin_rl.vector.VectorGames.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec vector_spec = {
    .name = "tavrin_rl._engine.VectorGames",
    .basicsize = sizeof(VectorObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = vector_slots,
};

}  // namespace tavrin::engine
