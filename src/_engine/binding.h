// What the module tavrin_rl._engine's files share: its state, its fault policy for the toolkit's
// boundary (out of memory is MemoryError here, never an abort), and what each file gives the
// module.
#pragma once

#define PY_SSIZE_T_CLEAN  // the `y#` argument format gives its length as Py_ssize_t
#include <Python.h>

#include <cstddef>
#include <exception>
#include <memory>
#include <stdexcept>

#include "_engine/internal_error.h"
#include "binding/args.h"
#include "binding/boundary.h"
#include "binding/buffer.h"
#include "binding/objects.h"
#include "binding/ref.h"
#include "game/batch/thread_pool.h"
#include "game/net/net.h"

namespace tavrin::engine {

using binding::ArrayLayout;
using binding::Buffer;
using binding::PyRef;
using binding::without_gil;

// --- Module state ---

struct ModuleState {
    PyTypeObject* vector_type;
    PyTypeObject* view_type;
    PyTypeObject* net_type;
};

inline ModuleState* state_of(PyObject* module) noexcept { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// --- Faults ---

// A batch too large for memory is the caller's to handle: MemoryError, also for a request larger
// than any container can hold. The engine's refusals of a configuration are ValueError, a thread
// pool the system will not start is RuntimeError, and anything else is the package's internal
// error.
struct Faults {
    static constexpr binding::OutOfMemory out_of_memory = binding::OutOfMemory::Raise;

    static bool expected(const std::exception& e) noexcept {
        if (dynamic_cast<const std::length_error*>(&e) != nullptr) {
            PyErr_NoMemory();
        } else if (dynamic_cast<const batch::PoolStartError*>(&e) != nullptr) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        } else if (dynamic_cast<const std::invalid_argument*>(&e) != nullptr) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } else {
            return false;
        }
        return true;
    }

    static void internal(const char* what) noexcept {
        PyObject* type = internal_error_or(PyExc_SystemError);
        if (what == nullptr)
            PyErr_SetString(type, "tavrin_rl._engine internal fault");
        else
            PyErr_Format(type, "tavrin_rl._engine internal fault: %s", what);
    }
};

template <auto Body>
inline constexpr auto boundary = &binding::Boundary<Faults, Body>::call;

// --- What each file gives the module ---

extern PyType_Spec view_spec;    // view_type.cpp
extern PyType_Spec vector_spec;  // vector_type.cpp
extern PyType_Spec net_spec;     // net_type.cpp
extern PyMethodDef engine_methods[];  // functions.cpp
// A read-only view of the array at `data` laid out as `layout`, owned by (and keeping alive) `owner`.
PyObject* new_view(PyTypeObject* type, PyObject* owner, const void* data, const ArrayLayout& layout) noexcept;

// A Net object: its net, shared with the batches whose seats play it.
struct NetObject {
    PyObject_HEAD
    std::shared_ptr<const net::Net>* net;
};
// The net of `obj`, a Net of `net_type`; null with TypeError set for anything else.
std::shared_ptr<const net::Net> net_of(PyTypeObject* net_type, PyObject* obj);
// The calling thread's evaluator, fitted to `net`: each thread evaluates with its own buffers,
// kept for its next call (a Net's methods and a guided search alike), grown only for a wider net.
net::Evaluator& thread_evaluator(const net::Net& net);

}  // namespace tavrin::engine
