// The module's two classes as the other translation units reach them.
#pragma once

#include <Python.h>

#include <cstddef>

#include "game/game.h"

namespace tavrin::python {

// The class objects, made on first need and kept for the rest of the process. Null with a Python
// error set when making one fails.
PyTypeObject* tavrin_type() noexcept;
PyTypeObject* observation_type() noexcept;

// A new PyObservation holding the view of `observer` (below the game's agent count).
PyObject* new_observation(const Game& game, std::size_t observer);

}  // namespace tavrin::python
