// The module's internal-error exception.
#include "python/boundary.h"

namespace tavrin::python {

namespace {

binding::ObjectCache internal_error_cache;

// Derived from BaseException so that a training loop's `except Exception` does not swallow a
// broken engine.
PyObject* make_internal_error() noexcept {
    return PyErr_NewExceptionWithDoc("tavrin_rl._tavrin.InternalError",
                                     "An internal fault of the game engine; a bug, never a bad input.",
                                     PyExc_BaseException, nullptr);
}

}  // namespace

PyObject* internal_error_type() noexcept { return internal_error_cache.get(make_internal_error); }

void raise_internal_error(const char* message) noexcept {
    PyObject* type = internal_error_type();
    if (type == nullptr) return;  // the error of making the class stays set
    PyErr_SetString(type, message);
}

}  // namespace tavrin::python

// The package's other extension module, tavrin_rl._engine, raises and exports this same class as
// tavrin_rl.InternalError, so that callers can catch it by class. It finds it through this C
// symbol (dlsym on this library) rather than through a module attribute, which would add a name to
// this module. A new reference; null with the Python error set. Call it attached to the main
// interpreter.
extern "C" __attribute__((visibility("default"))) PyObject* tavrin_rl_internal_error_type() noexcept {
    PyObject* type = tavrin::python::internal_error_type();
    Py_XINCREF(type);
    return type;
}
