// How tavrin_rl._tavrin's entries turn engine faults into Python exceptions: the toolkit's
// boundary with this module's policy, and the module's internal-error class.
#pragma once

#include <Python.h>

#include "binding/boundary.h"

namespace tavrin::python {

// The module's internal-error exception, a BaseException subclass made once per process; null
// with a Python error set if it cannot be made.
PyObject* internal_error_type() noexcept;

// Raises the internal-error exception with `message`.
void raise_internal_error(const char* message) noexcept;

// An internal fault is the module's internal error with the fault's text. Exhausting the engine's
// own memory ends the process, as its containers already do: the module's fixed behaviour.
struct Faults {
    static constexpr binding::OutOfMemory out_of_memory = binding::OutOfMemory::Abort;
    static void internal(const char* what) noexcept { raise_internal_error(what ? what : "unknown internal fault"); }
};

template <auto Body>
inline constexpr auto boundary = &binding::Boundary<Faults, Body>::call;

}  // namespace tavrin::python
