// PyTavrin: one game held by value, with the members a training loop calls.
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "game/actions/actions.h"
#include "game/game.h"
#include "game/observation.h"
#include "game/pieces/pieces.h"
#include "game/render.h"
#include "game/rules.h"
#include "game/scores.h"
#include "game/state_bytes.h"
#include "binding/args.h"
#include "binding/objects.h"
#include "binding/ref.h"
#include "python/borrow.h"
#include "python/boundary.h"
#include "python/classes.h"
#include "python/stdout_writer.h"

namespace tavrin::python {

namespace {

using binding::convert;
using binding::list_of;
using binding::parse_none;
using binding::parse_one;
using binding::put;

// --- The object ---

struct TavrinObject {
    PyObject_HEAD
    Game game;  // inline: a game owns no heap memory, so a copy is one flat copy
    BorrowFlag borrow;
};

static_assert(alignof(TavrinObject) <= alignof(std::max_align_t),
              "the interpreter's allocator aligns objects no further than max_align_t");

TavrinObject* as_tavrin(PyObject* self) noexcept { return reinterpret_cast<TavrinObject*>(self); }

// --- Helpers ---

// A new PyTavrin holding `game`, free of borrows. Always of class PyTavrin.
PyObject* wrap_game(PyTypeObject* type, const Game& game) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    TavrinObject* obj = as_tavrin(self);
    std::construct_at(&obj->game, game);
    std::construct_at(&obj->borrow, 0);
    return self;
}

PyObject* wrap_game(const Game& game) noexcept {
    PyTypeObject* type = tavrin_type();
    return type == nullptr ? nullptr : wrap_game(type, game);
}

// A new list of four Python objects made by `item(i)`.
template <class Item>
PyObject* list_of_four(Item&& item) noexcept {
    return list_of(AGENT_COUNT, item);
}

// --- Reaching the game ---

// Runs `body` on the game under a shared borrow and returns its result; the borrow is released
// after the result is built, on every path. A refused borrow returns the empty result (null) with
// RuntimeError "Already mutably borrowed" set, before `body` runs.
template <class Body>
auto reader(PyObject* self, Body&& body) {
    TavrinObject* obj = as_tavrin(self);
    using Result = decltype(body(std::as_const(obj->game)));
    SharedBorrow borrow(obj->borrow);
    if (!borrow) return Result{};
    return body(std::as_const(obj->game));
}

// The same under the exclusive borrow; a refusal sets RuntimeError "Already borrowed".
template <class Body>
auto writer(PyObject* self, Body&& body) {
    TavrinObject* obj = as_tavrin(self);
    using Result = decltype(body(obj->game));
    ExclusiveBorrow borrow(obj->borrow);
    if (!borrow) return Result{};
    return body(obj->game);
}

// A read-only property whose value `Body` makes from the game.
template <PyObject* (*Body)(const Game&)>
PyObject* getter(PyObject* self, void*) {
    return reader(self, Body);
}

// --- Construction and copies ---

PyObject* tavrin_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (!parse_none("PyTavrin.__new__()", args, kwargs)) return nullptr;
    return wrap_game(type, new_game());
}

PyObject* tavrin_reset(PyObject* self, PyObject*) {
    return writer(self, [](Game& game) {
        game = new_game();
        Py_RETURN_NONE;
    });
}

PyObject* tavrin_copy(PyObject* self, PyObject*) {
    return reader(self, [](const Game& game) { return wrap_game(game); });
}

PyObject* tavrin_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // The memo is matched but unused: a game refers to no Python object that could be shared.
    if (parse_one("PyTavrin.__deepcopy__()", "_memo", args, nargs, kwnames) == nullptr) return nullptr;
    return tavrin_copy(self, nullptr);
}

// --- Persistence ---

PyObject* tavrin_to_bytes(PyObject* self, PyObject*) {
    return reader(self, [](const Game& game) { return binding::bytes_of<std::uint8_t>(to_bytes(game)); });
}

// The game held by the bytes argument `param`, or nothing with the Python error set.
std::optional<Game> game_from(const char* param, PyObject* arg) {
    const auto data = convert(param, arg, binding::to_byte_view);
    if (!data) return std::nullopt;
    std::optional<Game> game = from_bytes(data->data(), data->size());
    if (!game) PyErr_SetString(PyExc_ValueError, "Not a game state written by to_bytes() of this version");
    return game;
}

PyObject* tavrin_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg = parse_one("PyTavrin.__setstate__()", "state", args, nargs, kwnames);
    if (arg == nullptr) return nullptr;
    return writer(self, [&](Game& game) -> PyObject* {
        const std::optional<Game> read = game_from("state", arg);
        if (!read) return nullptr;
        game = *read;
        Py_RETURN_NONE;
    });
}

PyObject* tavrin_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg = parse_one("PyTavrin.from_bytes()", "data", args, nargs, kwnames);
    if (arg == nullptr) return nullptr;
    const std::optional<Game> game = game_from("data", arg);
    return game ? wrap_game(*game) : nullptr;
}

// --- State properties ---

PyObject* get_agents(const Game& game) {
    return list_of(game.num_agents, [](std::size_t i) { return PyLong_FromSize_t(i); });
}

PyObject* get_agent_selection(const Game& game) { return PyLong_FromSize_t(game.agent_selection); }

PyObject* get_terminations(const Game& game) {
    const auto done = terminations(game);
    return list_of_four([&](std::size_t i) { return PyBool_FromLong(done[i]); });
}

PyObject* get_rewards(const Game& game) {
    const auto values = rewards(game);
    return list_of_four([&](std::size_t i) -> PyObject* {
        if (!values[i]) Py_RETURN_NONE;
        return PyLong_FromLong(*values[i]);
    });
}

PyObject* get_scores(const Game& game) {
    const Scores values = scores(game);
    return list_of_four([&](std::size_t i) { return PyLong_FromLong(values[i]); });
}

PyObject* get_is_over(const Game& game) { return PyBool_FromLong(is_over(game)); }

PyObject* get_ply(const Game& game) { return PyLong_FromLong(ply(game)); }

// --- Play, scoring and observation ---

PyObject* tavrin_outcome(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg = parse_one("PyTavrin.outcome()", "mode", args, nargs, kwnames);
    if (arg == nullptr) return nullptr;
    return reader(self, [&](const Game& game) -> PyObject* {
        const auto text = convert("mode", arg, binding::to_text);
        if (!text) return nullptr;
        const std::optional<RewardMode> mode = reward_mode_from_name(*text);
        if (!mode) {
            PyErr_Format(PyExc_ValueError, "Unknown reward mode %U", arg);
            return nullptr;
        }
        const std::optional<Outcome> values = outcome(game, *mode);
        if (!values) Py_RETURN_NONE;
        // Each single-precision value widens exactly; no rounding to a nicer double.
        return list_of_four([&](std::size_t i) { return PyFloat_FromDouble(static_cast<double>((*values)[i])); });
    });
}

PyObject* tavrin_observe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg = parse_one("PyTavrin.observe()", "agent_idx", args, nargs, kwnames);
    if (arg == nullptr) return nullptr;
    return reader(self, [&](const Game& game) -> PyObject* {
        const auto agent = convert("agent_idx", arg, binding::to_u32);
        if (!agent) return nullptr;
        if (*agent >= game.num_agents) {
            PyErr_Format(PyExc_ValueError, "Unknown agent %u", static_cast<unsigned>(*agent));
            return nullptr;
        }
        return new_observation(game, *agent);
    });
}

PyObject* tavrin_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg = parse_one("PyTavrin.step()", "action_idx", args, nargs, kwnames);
    if (arg == nullptr) return nullptr;
    return writer(self, [&](Game& game) -> PyObject* {
        // The conversion may run Python code (__index__); the borrow is already held, so that code
        // cannot reach this game, and a failure leaves it as it was.
        std::optional<std::size_t> action;
        if (arg != Py_None) {
            const auto index = convert("action_idx", arg, binding::to_u32);
            if (!index) return nullptr;
            action = *index;
        }
        if (const std::optional<InvalidAction> error = step(game, action)) {
            const std::string message = "Invalid action: " + std::string(error->message);
            PyErr_SetString(PyExc_AssertionError, message.c_str());
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

// --- Rendering ---

PyObject* tavrin_render(PyObject* self, PyObject*) {
    std::array<char, RENDER_CAPACITY + 1> text;
    // Formatted under the borrow, written after it: a game must not stay borrowed while the
    // process waits on its output (a forked child would inherit the borrow for good).
    const std::optional<std::size_t> size =
        reader(self, [&](const Game& game) { return std::optional(render_into(game, text.data())); });
    if (!size) return nullptr;
    if (*size > RENDER_CAPACITY)
        fail("render_into wrote " + std::to_string(*size) + " bytes into " + std::to_string(RENDER_CAPACITY));
    text[*size] = '\n';  // the line feed that flushes the picture
    if (!write_stdout(std::string_view(text.data(), *size + 1))) return nullptr;
    Py_RETURN_NONE;
}

// --- Method and property tables ---

constexpr int ONE_ARGUMENT = METH_FASTCALL | METH_KEYWORDS;

// In registration order; the properties and class attributes interleave with these as Python
// lists them, but each kind keeps its own relative order.
PyMethodDef tavrin_methods[] = {
    BINDING_METHOD(reset, tavrin_reset, METH_NOARGS, "$self", ""),
    BINDING_METHOD(copy, tavrin_copy, METH_NOARGS, "$self", "An independent copy of the game."),
    BINDING_METHOD(__copy__, tavrin_copy, METH_NOARGS, "$self", ""),
    BINDING_METHOD(__deepcopy__, tavrin_deepcopy, ONE_ARGUMENT, "$self, _memo", ""),
    BINDING_METHOD(__getstate__, tavrin_to_bytes, METH_NOARGS, "$self", "Pickles the game as its `to_bytes` state."),
    BINDING_METHOD(__setstate__, tavrin_setstate, ONE_ARGUMENT, "$self, state", ""),
    BINDING_METHOD(to_bytes, tavrin_to_bytes, METH_NOARGS, "$self", "The game state as bytes, restore it with `from_bytes`."),
    BINDING_METHOD(from_bytes, tavrin_from_bytes, ONE_ARGUMENT | METH_STATIC, "data", ""),
    BINDING_METHOD(outcome, tavrin_outcome, ONE_ARGUMENT, "$self, mode",
                   "The final rewards in `mode`, one of `reward_modes`, None until the game is over."),
    BINDING_METHOD(observe, tavrin_observe, ONE_ARGUMENT, "$self, agent_idx", ""),
    BINDING_METHOD(step, tavrin_step, ONE_ARGUMENT, "$self, action_idx", ""),
    BINDING_METHOD(render, tavrin_render, METH_NOARGS, "$self", ""),
    {nullptr, nullptr, 0, nullptr},
};

template <PyObject* (*Body)(const Game&)>
PyGetSetDef property(const char* name, const char* doc = nullptr) noexcept {
    return binding::property<Faults, getter<Body>>(name, doc);
}

PyGetSetDef tavrin_getset[] = {
    property<get_agents>("agents"),
    property<get_agent_selection>("agent_selection"),
    property<get_terminations>("terminations"),
    property<get_rewards>("rewards", "The score of every agent that is done, None for the others."),
    property<get_scores>("scores", "Every agent's official score as if the game ended now."),
    property<get_is_over>("is_over"),
    property<get_ply>("ply", "The number of placements made so far, by all agents."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- Slots ---

void tavrin_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    TavrinObject* obj = as_tavrin(self);
    std::destroy_at(&obj->borrow);
    std::destroy_at(&obj->game);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyDoc_STRVAR(tavrin_doc, "PyTavrin()\n--\n\n");

PyType_Slot tavrin_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(boundary<tavrin_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tavrin_dealloc)},
    {Py_tp_doc, const_cast<char*>(tavrin_doc)},
    {Py_tp_methods, tavrin_methods},
    {Py_tp_getset, tavrin_getset},
    {0, nullptr},
};

// --- The class ---

// Not a base class, no instance dict or weak references, not tracked by the cycle collector: an
// instance refers to no Python object.
PyType_Spec tavrin_spec = {
    .name = "tavrin_rl._tavrin.PyTavrin",
    .basicsize = static_cast<int>(sizeof(TavrinObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = tavrin_slots,
};

// The class constants, computed once with the class and kept in its dict.
bool set_class_attributes(PyObject* type) noexcept {
    std::array<std::string_view, KIND_COUNT> kind_names;
    for (unsigned i = 0; i < KIND_COUNT; ++i) kind_names[i] = PieceType::from_index(i).name();
    return put(type, "num_actions", PyLong_FromSize_t(GRID_SIZE)) &&
           put(type, "action_grid_shape", Py_BuildValue("(III)", ORIENTATION_COUNT, BOARD_SIDE, BOARD_SIDE)) &&
           put(type, "reward_modes", binding::str_tuple(REWARD_MODE_NAMES)) &&
           put(type, "piece_names", binding::str_tuple(kind_names));
}

}  // namespace

PyTypeObject* tavrin_type() noexcept { return binding::process_type<&tavrin_spec, set_class_attributes>(); }

}  // namespace tavrin::python
