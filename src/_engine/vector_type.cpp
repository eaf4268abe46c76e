// The module's VectorGames type: the batched engine behind tavrin_rl.vector. Arguments are checked
// here, copied where the engine must see exactly what was checked; the work runs without the GIL.
// This file makes the object from its arguments (the seats and their settings) and puts the type
// together; its methods are in vector_methods.cpp.
#include "_engine/vector_object.h"

#include <cstring>

#include "game/agents/policies.h"
#include "game/batch/vector_games.h"
#include "game/search/mcts.h"

namespace tavrin::engine {
namespace {

using batch::Config;
using batch::ObservationMode;
using batch::Seat;
using batch::VectorGames;
using binding::to_code;

// One seat's settings from a dict of the keys its kind reads ("playouts", "rollout": a policy
// code; "net": a Net, "sample": a bool) into `out`; false with ValueError or TypeError set for an
// unknown key or a bad value.
bool read_seat_settings(PyTypeObject* net_type, PyObject* dict, std::size_t seat, batch::SeatSettings& out) {
    if (dict == Py_None) return true;
    if (!PyDict_Check(dict))
        return PyErr_Format(PyExc_TypeError, "seat %zu settings must be a dict or None, got %s", seat,
                            Py_TYPE(dict)->tp_name),
               false;
    // Its items copied first: reading a value may run Python code that changes the dict.
    const PyRef items = PyRef::steal(PyDict_Items(dict));
    if (!items) return false;
    for (Py_ssize_t at = 0; at < PyList_GET_SIZE(items.get()); ++at) {
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), at), 0);
        PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), at), 1);
        const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
        if (name == nullptr) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "seat %zu settings keys must be str", seat);
            return false;
        }
        if (std::strcmp(name, "playouts") == 0) {
            const long long playouts = PyLong_AsLongLong(value);
            if (playouts == -1 && PyErr_Occurred()) return false;
            // Checked on the caller's int, as search() does: the cast below would wrap a larger one.
            if (!binding::in_range("search playouts", playouts, 1, search::MAX_PLAYOUTS)) return false;
            out.search.playouts = static_cast<std::uint32_t>(playouts);
        } else if (std::strcmp(name, "rollout") == 0) {
            const auto code = to_code(value, "rollout policy code", POLICY_COUNT);
            if (!code) return false;
            out.search.rollout = static_cast<Policy>(*code);
        } else if (std::strcmp(name, "net") == 0) {
            out.net = net_of(net_type, value);
            if (!out.net) return false;
        } else if (std::strcmp(name, "sample") == 0) {
            const int sample = PyObject_IsTrue(value);
            if (sample < 0) return false;
            out.sample = sample != 0;
        } else {
            return PyErr_Format(PyExc_ValueError, "seat %zu settings: unknown key %R", seat, key), false;
        }
    }
    return true;
}

}  // namespace

// Four seats' settings from None (every seat's defaults) or a sequence of four dicts or Nones.
bool read_settings(PyTypeObject* net_type, PyObject* arg, std::array<batch::SeatSettings, AGENT_COUNT>& out) {
    if (arg == nullptr || arg == Py_None) return true;
    const PyRef items = PyRef::steal(PySequence_Fast(arg, "settings must be a sequence of four dicts"));
    if (!items) return false;
    if (PySequence_Fast_GET_SIZE(items.get()) != static_cast<Py_ssize_t>(AGENT_COUNT))
        return PyErr_Format(PyExc_ValueError, "settings must hold %zu entries, got %zd", AGENT_COUNT,
                            PySequence_Fast_GET_SIZE(items.get())),
               false;
    for (std::size_t k = 0; k < AGENT_COUNT; ++k)
        if (!read_seat_settings(net_type, PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(k)), k, out[k]))
            return false;
    return true;
}

namespace {

PyObject* vector_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"num_games", "threads",   "observation",  "mask", "reward_mode",
                                     "autoreset", "seats", "rotate_seats", "settings", nullptr};
    Py_ssize_t num_games = 0, threads = 1;
    int observation = 2, mask = 1, reward_mode = 1, autoreset = 1, rotate = 0;
    const char* seats = nullptr;
    Py_ssize_t seats_len = 0;
    PyObject* settings = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "n|nipipy#pO:VectorGames", const_cast<char**>(keywords),
                                     &num_games, &threads, &observation, &mask, &reward_mode, &autoreset, &seats,
                                     &seats_len, &rotate, &settings))
        return nullptr;
    if (num_games < 1) return PyErr_Format(PyExc_ValueError, "num_games must be at least 1, got %zd", num_games);
    using binding::in_range;
    if (!in_range("threads", threads, 1, 1024) ||
        !in_range("observation code", observation, 0, 2) || !in_range("reward mode code", reward_mode, 0, 2))
        return nullptr;
    Config config;
    config.num_games = static_cast<std::size_t>(num_games);
    config.threads = static_cast<std::size_t>(threads);
    config.observation = static_cast<ObservationMode>(observation);
    config.mask = mask != 0;
    config.reward_mode = static_cast<RewardMode>(reward_mode);
    config.autoreset = autoreset != 0;
    config.rotate_seats = rotate != 0;
    if (!read_settings(state_of(PyType_GetModule(type))->net_type, settings, config.settings)) return nullptr;
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

    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    // tp_alloc zero-filled the object: every pointer starts null, and dealloc frees what was made
    // before a throw.
    VectorObject* v = as_vector(self.get());
    std::construct_at(&v->busy, false);
    v->actions = new std::vector<std::int32_t>(config.num_games);
    v->which = new std::vector<std::uint8_t>(config.num_games);
    v->policies = new std::vector<Policy>(config.num_games);
    without_gil([&] { v->engine = new VectorGames(config); });
    return self.release();
}

void vector_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    VectorGames* engine = std::exchange(as_vector(self)->engine, nullptr);
    // Joining the pool's threads can take a moment; other Python threads may run meanwhile.
    if (engine != nullptr) without_gil([&] { delete engine; });
    delete std::exchange(as_vector(self)->actions, nullptr);
    delete std::exchange(as_vector(self)->which, nullptr);
    delete std::exchange(as_vector(self)->policies, nullptr);
    std::destroy_at(&as_vector(self)->busy);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* vector_get_num_games(PyObject* self, void*) { return PyLong_FromSize_t(as_vector(self)->engine->size()); }

PyObject* vector_get_threads(PyObject* self, void*) { return PyLong_FromSize_t(as_vector(self)->engine->threads()); }

PyGetSetDef vector_getset[] = {
    binding::property<Faults, vector_get_num_games>("num_games", "The number of games."),
    binding::property<Faults, vector_get_threads>("threads", "The number of threads that step the games."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot vector_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(boundary<vector_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(vector_dealloc)},
    {Py_tp_methods, vector_methods},
    {Py_tp_getset, vector_getset},
    {Py_tp_doc, const_cast<char*>("VectorGames(num_games, threads=1, observation=2, mask=True, reward_mode=1, "
                                  "autoreset=True, seats=None, rotate_seats=False, settings=None)\n--\n\n"
                                  "The batched engine; use tavrin_rl.vector.VectorGames. settings: per seat None "
                                  "or a dict of playouts and rollout (a policy code).")},
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
