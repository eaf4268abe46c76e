// The one owning handle for Python references in both extension modules.
#pragma once

#include <Python.h>

#include <utility>

namespace tavrin::binding {

// Set when the interpreter, shutting down, ends this thread as it tries to take the GIL back: the
// thread unwinds to its start without a thread state, so the handles on its way let go of nothing
// (the process is ending) instead of calling the interpreter. See `reattach` in boundary.h.
inline thread_local bool thread_ended_by_interpreter = false;

// Owns one strong reference (or none). The factories name the transfer where the object is made:
// `steal` adopts a new reference, `borrow` takes one more on a borrowed pointer.
class PyRef {
 public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
    static PyRef borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return PyRef(p);
    }

    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        PyRef old(std::exchange(p_, std::exchange(o.p_, nullptr)));
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() {
        if (p_ != nullptr && !thread_ended_by_interpreter) Py_DECREF(p_);
    }

    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
    explicit PyRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace tavrin::binding
