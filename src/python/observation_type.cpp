// PyObservation: one agent's view as six flat 0/1 byte buffers, held inline in the object.
#include <Python.h>

#include <cstddef>
#include <memory>

#include "game/observation.h"
#include "python/borrow.h"
#include "python/boundary.h"
#include "python/classes.h"
#include "python/pyref.h"

namespace tavrin::python {

namespace {

// --- The object ---

struct ObservationObject {
    PyObject_HEAD
    ObservationBytes bytes;  // written once by observe, never changed afterwards
    BorrowFlag borrow;
};

static_assert(alignof(ObservationObject) <= alignof(std::max_align_t),
              "the interpreter's allocator aligns objects no further than max_align_t");

ObservationObject* as_observation(PyObject* self) noexcept { return reinterpret_cast<ObservationObject*>(self); }

// --- Attributes ---

// Every read copies the buffer into new bytes, so a caller may keep or mutate what it gets.
template <auto Field>
PyObject* observation_get(PyObject* self, void*) {
    ObservationObject* obs = as_observation(self);
    SharedBorrow borrow(obs->borrow);
    if (!borrow) return nullptr;
    const auto& buffer = obs->bytes.*Field;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer), sizeof buffer);
}

PyGetSetDef observation_getset[] = {
    {"observation", boundary<observation_get<&ObservationBytes::observation>>, nullptr,
     "The occupied cells in (agent, row, col) order.", nullptr},
    {"corners", boundary<observation_get<&ObservationBytes::corners>>, nullptr,
     "The cells each agent's next piece can attach to, in (agent, row, col) order.", nullptr},
    {"blocked", boundary<observation_get<&ObservationBytes::blocked>>, nullptr,
     "The cells each agent can never fill, in (agent, row, col) order.", nullptr},
    {"pieces", boundary<observation_get<&ObservationBytes::pieces>>, nullptr,
     "The pieces each agent still has, in (agent, piece) order.", nullptr},
    {"done", boundary<observation_get<&ObservationBytes::done>>, nullptr, "Whether each agent is out of moves.",
     nullptr},
    {"action_mask", boundary<observation_get<&ObservationBytes::action_mask>>, nullptr,
     "The action mask over the flattened action grid.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- Slots ---

void observation_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&as_observation(self)->borrow);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyDoc_STRVAR(observation_doc,
             "An observation as bytes of 0/1, cheap to wrap with `numpy.frombuffer`. Agents are in\n"
             "agent-relative order, see `Observation`.");

PyType_Slot observation_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(observation_dealloc)},
    {Py_tp_doc, const_cast<char*>(observation_doc)},
    {Py_tp_getset, observation_getset},
    {0, nullptr},
};

// --- The class ---

// No constructor: instances come only from observe. Not a base class, no dict, no weak references.
PyType_Spec observation_spec = {
    .name = "builtins.PyObservation",
    .basicsize = static_cast<int>(sizeof(ObservationObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = observation_slots,
};

ObjectCache observation_cache;

PyObject* make_observation_type() noexcept { return PyType_FromSpec(&observation_spec); }

}  // namespace

PyTypeObject* observation_type() noexcept {
    return reinterpret_cast<PyTypeObject*>(observation_cache.get(make_observation_type));
}

PyObject* new_observation(const Game& game, std::size_t observer) {
    PyTypeObject* type = observation_type();
    if (type == nullptr) return nullptr;
    // tp_alloc zero-fills the whole object: that is the all-zero image write_observation expects,
    // so the buffers cost one allocation and only their ones are written.
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    ObservationObject* obs = as_observation(self.get());
    std::construct_at(&obs->borrow, 0);
    write_observation(game, observer, obs->bytes);
    return self.release();
}

}  // namespace tavrin::python
