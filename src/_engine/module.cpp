// The module tavrin_rl._engine: the batched engine (`VectorGames`) behind tavrin_rl.vector, and
// read-only views of its arrays. Arguments are checked here; the work runs without the GIL.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "_engine/internal_error.h"
#include "game/agents/policies.h"
#include "game/batch/catalogue_export.h"
#include "game/batch/vector_games.h"
#include "game/error.h"
#include "game/scores.h"
#include "game/search/mcts.h"
#include "game/state_bytes.h"

namespace tavrin::engine {
namespace {

using batch::BatchError;
using batch::Config;
using batch::ObservationMode;
using batch::Seat;
using batch::VectorGames;

// --- Module state ---

struct ModuleState {
    PyTypeObject* vector_type;
    PyTypeObject* view_type;
};

ModuleState* state_of(PyObject* module) noexcept { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// --- Helpers ---

// Set when the interpreter, shutting down, ends this thread as it tries to take the GIL back: the
// thread unwinds to its start without a thread state, so the handles below let go of nothing on
// the way (the process is ending) instead of calling the interpreter.
thread_local bool ended_by_interpreter = false;

// An owned reference, released on every path.
struct Ref {
    PyObject* p = nullptr;
    explicit Ref(PyObject* o = nullptr) noexcept : p(o) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (!ended_by_interpreter) Py_XDECREF(p);
    }
    PyObject* release() noexcept { return std::exchange(p, nullptr); }
};

// Sets the Python error for a C++ exception caught at the boundary.
void raise_from(const std::exception_ptr& error) noexcept {
    try {
        std::rethrow_exception(error);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const batch::PoolStartError& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        PyErr_Format(internal_error_or(PyExc_SystemError), "tavrin_rl._engine internal fault: %s", e.what());
    } catch (...) {
        PyErr_SetString(internal_error_or(PyExc_SystemError), "tavrin_rl._engine internal fault");
    }
}

// Runs `work` with the GIL released; a C++ exception becomes a Python error once it is held again.
// Not noexcept, nor is any caller: a shutting-down interpreter ends a thread that takes the GIL
// back with pthread_exit, whose forced unwind must pass through to the thread's start (a noexcept
// frame, or a catch that keeps it, would abort the process).
template <class Work>
bool without_gil(Work&& work) {
    std::exception_ptr error;
    PyThreadState* saved = PyEval_SaveThread();
    try {
        work();
    } catch (...) {
        error = std::current_exception();
    }
    try {
        PyEval_RestoreThread(saved);
    } catch (abi::__forced_unwind&) {
        ended_by_interpreter = true;
        throw;
    }
    if (error) raise_from(error);
    return !error;
}

// A contiguous buffer of `count` items of `itemsize` bytes, released on every path.
class Buffer {
 public:
    ~Buffer() {
        if (held_ && !ended_by_interpreter) PyBuffer_Release(&view_);
    }
    // `what` names the argument in errors; `writable` asks for a writable buffer.
    bool get(PyObject* obj, const char* what, std::size_t count, Py_ssize_t itemsize, bool writable) noexcept {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0)) < 0) return false;
        held_ = true;
        if (view_.itemsize != itemsize || static_cast<std::size_t>(view_.len) != count * static_cast<std::size_t>(itemsize)) {
            PyErr_Format(PyExc_ValueError, "%s: expected %zu items of %zd bytes, got %zd bytes in items of %zd", what,
                         count, itemsize, view_.len, view_.itemsize);
            return false;
        }
        return true;
    }
    void* data() const noexcept { return view_.buf; }

 private:
    Py_buffer view_{};
    bool held_ = false;
};

// --- The view type: one read-only array of a VectorGames, keeping it alive ---

struct ViewObject {
    PyObject_HEAD
    PyObject* owner;
    void* data;
    Py_ssize_t len;
};

int view_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    auto* v = reinterpret_cast<ViewObject*>(self);
    return PyBuffer_FillInfo(view, self, v->data, v->len, 1, flags);
}

int view_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<ViewObject*>(self)->owner);
    return 0;
}

int view_clear(PyObject* self) noexcept {
    Py_CLEAR(reinterpret_cast<ViewObject*>(self)->owner);
    return 0;
}

void view_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    (void)view_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot view_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(view_getbuffer)},
    {Py_tp_traverse, reinterpret_cast<void*>(view_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(view_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(view_dealloc)},
    {Py_tp_doc, const_cast<char*>("Read-only bytes of one VectorGames array; holds the VectorGames alive.")},
    {0, nullptr},
};

PyType_Spec view_spec = {
    .name = "tavrin_rl._engine.ArrayView",
    .basicsize = sizeof(ViewObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = view_slots,
};

// --- The VectorGames type ---

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
    PyTypeObject* type = state_of(PyType_GetModule(Py_TYPE(self)))->view_type;
    auto* view = PyObject_GC_New(ViewObject, type);
    if (view == nullptr) return nullptr;
    view->owner = Py_NewRef(self);
    view->data = const_cast<void*>(data);
    view->len = static_cast<Py_ssize_t>(bytes);
    PyObject_GC_Track(view);
    return reinterpret_cast<PyObject*>(view);
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

PyType_Spec vector_spec = {
    .name = "tavrin_rl._engine.VectorGames",
    .basicsize = sizeof(VectorObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = vector_slots,
};

// --- Module functions ---

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

// A tuple of `count` items made by make(i); null with the error set when one fails.
template <class Make>
PyObject* tuple_of(std::size_t count, Make&& make) noexcept {
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!tuple.p) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = make(i);
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.p, static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}

// Adds `value` (a new reference, or null with the error set) under `key`.
bool put(PyObject* dict, const char* key, PyObject* value) noexcept {
    Ref owned(value);
    return owned.p != nullptr && PyDict_SetItemString(dict, key, owned.p) == 0;
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
        put(dict.p, "num_actions", PyLong_FromSize_t(GRID_SIZE)) &&
        put(dict.p, "num_placements", PyLong_FromSize_t(set.actions.size())) &&
        put(dict.p, "state_size", PyLong_FromSize_t(STATE_SIZE)) &&
        put(dict.p, "state_version", PyLong_FromSize_t(STATE_VERSION));
    return ok ? dict.release() : nullptr;
}

PyObject* engine_catalogue(PyObject*, PyObject*) noexcept {
    try {
        return catalogue_dict();
    } catch (...) {
        raise_from(std::current_exception());
        return nullptr;
    }
}

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
    if (!(cpu_ms >= 0.0)) return PyErr_Format(PyExc_ValueError, "cpu_ms must be at least 0, got %g", cpu_ms);
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

PyObject* engine_orientation_traits(PyObject*, PyObject*) noexcept {
    try {
        return orientation_traits_dict();
    } catch (...) {
        raise_from(std::current_exception());
        return nullptr;
    }
}

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

PyMethodDef engine_methods[] = {
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

// --- Execution and module definition ---

int engine_exec(PyObject* module) noexcept {
    ModuleState* state = state_of(module);
    state->view_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &view_spec, nullptr));
    if (state->view_type == nullptr) return -1;
    state->vector_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &vector_spec, nullptr));
    if (state->vector_type == nullptr) return -1;
    if (PyModule_AddType(module, state->vector_type) < 0) return -1;
    if (PyModule_AddType(module, state->view_type) < 0) return -1;
    if (PyModule_AddIntConstant(module, "STATE_SIZE", STATE_SIZE) < 0) return -1;
    if (PyModule_AddIntConstant(module, "STATE_VERSION", STATE_VERSION) < 0) return -1;
    if (PyModule_AddIntConstant(module, "NUM_ACTIONS", GRID_SIZE) < 0) return -1;
    // The class tavrin_rl._tavrin raises for internal faults, which this module raises too; the
    // package exports it as tavrin_rl.InternalError. Main interpreter only (see find_internal_error).
    if (PyObject* internal_error = find_internal_error()) {
        if (PyModule_AddObjectRef(module, "InternalError", internal_error) < 0) return -1;
    } else if (PyErr_Occurred()) {
        return -1;
    }
    return 0;
}

int engine_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    ModuleState* state = state_of(module);
    Py_VISIT(state->vector_type);
    Py_VISIT(state->view_type);
    return 0;
}

int engine_clear(PyObject* module) noexcept {
    ModuleState* state = state_of(module);
    Py_CLEAR(state->vector_type);
    Py_CLEAR(state->view_type);
    return 0;
}

void engine_free(void* module) noexcept { (void)engine_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot engine_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(engine_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Each VectorGames refuses a second caller at once; the catalogue is built once and read-only.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef engine_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_engine",
    .m_doc = "The batched engine behind tavrin_rl.vector.",
    .m_size = sizeof(ModuleState),
    .m_methods = engine_methods,
    .m_slots = engine_slots,
    .m_traverse = engine_traverse,
    .m_clear = engine_clear,
    .m_free = engine_free,
};

}  // namespace
}  // namespace tavrin::engine

PyMODINIT_FUNC PyInit__engine() { return PyModuleDef_Init(&tavrin::engine::engine_module); }
