// The package's internal-error class, shared with tavrin_rl._tavrin.
#pragma once

#include <Python.h>

namespace tavrin::engine {

// Finds the class that tavrin_rl._tavrin raises for internal faults and keeps it for
// `internal_error`; called by the module's execution. A borrowed reference, or null with
// ImportError set. Outside the main interpreter it returns null with no error set: the class
// belongs to the main interpreter, where _tavrin alone can be imported.
PyObject* find_internal_error() noexcept;

// The class found by `find_internal_error` when called in the main interpreter, else `fallback`.
PyObject* internal_error_or(PyObject* fallback) noexcept;

}  // namespace tavrin::engine
