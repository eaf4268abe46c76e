// The toolkit of the module tavrin_rl._engine's files: an owning reference, the boundary between
// C++ exceptions and Python errors, work without the GIL, buffers of the caller's arrays, and the
// module's state. Out of memory is MemoryError here, never an abort.
#pragma once

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
#include "game/batch/thread_pool.h"

namespace tavrin::engine {

// --- Module state ---

struct ModuleState {
    PyTypeObject* vector_type;
    PyTypeObject* view_type;
};

inline ModuleState* state_of(PyObject* module) noexcept { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// --- Helpers ---

// Set when the interpreter, shutting down, ends this thread as it tries to take the GIL back: the
// thread unwinds to its start without a thread state, so the handles below let go of nothing on
// the way (the process is ending) instead of calling the interpreter.
extern thread_local bool ended_by_interpreter;

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
inline void raise_from(const std::exception_ptr& error) noexcept {
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

// make() at the boundary: its C++ exception becomes the Python error (null returned).
template <class Make>
PyObject* at_boundary(Make&& make) noexcept {
    try {
        return make();
    } catch (...) {
        raise_from(std::current_exception());
        return nullptr;
    }
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
inline bool put(PyObject* dict, const char* key, PyObject* value) noexcept {
    Ref owned(value);
    return owned.p != nullptr && PyDict_SetItemString(dict, key, owned.p) == 0;
}

// --- What each file gives the module ---

extern PyType_Spec view_spec;    // view_type.cpp
extern PyType_Spec vector_spec;  // vector_type.cpp
extern PyMethodDef engine_methods[];  // functions.cpp
// A read-only view of `bytes` bytes at `data`, owned by (and keeping alive) `owner`.
PyObject* new_view(PyTypeObject* type, PyObject* owner, const void* data, std::size_t bytes) noexcept;

}  // namespace tavrin::engine
