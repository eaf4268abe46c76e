// The one owning handle for Python references in the binding.
#pragma once

#include <Python.h>

#include <utility>

namespace tavrin::python {

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
    ~PyRef() { Py_XDECREF(p_); }

    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
    explicit PyRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace tavrin::python
