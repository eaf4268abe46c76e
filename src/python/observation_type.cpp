// PyObservation: one agent's view as six flat 0/1 byte buffers, held inline in the object.
#include <Python.h>

#include <cstddef>
#include <memory>

#include "binding/objects.h"
#include "binding/ref.h"
#include "game/observation.h"
#include "python/borrow.h"
#include "python/boundary.h"
#include "python/classes.h"

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

template <auto Field>
PyGetSetDef attribute(const char* name, const char* doc) noexcept {
    return binding::property<Faults, observation_get<Field>>(name, doc);
}

PyGetSetDef observation_getset[] = {
    attribute<&ObservationBytes::observation>("observation", "The occupied cells in (agent, row, col) order."),
    attribute<&ObservationBytes::corners>("corners",
                                          "The cells each agent's next piece can attach to, in (agent, row, col) order."),
    attribute<&ObservationBytes::blocked>("blocked", "The cells each agent can never fill, in (agent, row, col) order."),
    attribute<&ObservationBytes::pieces>("pieces", "The pieces each agent still has, in (agent, piece) order."),
    attribute<&ObservationBytes::done>("done", "Whether each agent is out of moves."),
    attribute<&ObservationBytes::action_mask>("action_mask", "The action mask over the flattened action grid."),
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

}  // namespace

PyTypeObject* observation_type() noexcept { return binding::process_type<&observation_spec>(); }

PyObject* new_observation(const Game& game, std::size_t observer) {
    PyTypeObject* type = observation_type();
    if (type == nullptr) return nullptr;
    // tp_alloc zero-fills the whole object: that is the all-zero image write_observation expects,
    // so the buffers cost one allocation and only their ones are written.
    binding::PyRef self = binding::PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    ObservationObject* obs = as_observation(self.get());
    std::construct_at(&obs->borrow, 0);
    write_observation(game, observer, obs->bytes);
    return self.release();
}

}  // namespace tavrin::python
