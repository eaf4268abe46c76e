// The package's internal-error class, shared with tavrin_rl._tavrin.
//
// The class is _tavrin's and this module finds it, not the other way round: _tavrin's behaviour is
// fixed (it makes the class once per process, adds no name, imports nothing), and the other way,
// _tavrin fetching a class of ours at its first fault, would import a module inside its fault
// path, where an import may fail (interpreter shutdown, a _tavrin loaded alone) and leave it with
// a second class or none. So the lookup happens here, at this module's import, through the one C
// symbol _tavrin exports.
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
