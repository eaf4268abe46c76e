// What the VectorGames type's two files share: the object, its one-caller-at-a-time guard, and the
// seats' settings reader that both the constructor and play_out() take settings with.
// vector_type.cpp makes the object (its arguments, seats and settings) and the type;
// vector_methods.cpp holds its methods: stepping, play-outs, state bytes and the output views.
#pragma once

#include "_engine/binding.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "game/agents/policies.h"
#include "game/batch/vector_games.h"

namespace tavrin::engine {

struct VectorObject {
    PyObject_HEAD
    batch::VectorGames* engine;
    std::atomic<bool> busy;
    // The caller's actions and selection, copied while the GIL is held: another thread may write
    // into the caller's arrays while the engine works without it, and the engine must apply
    // exactly what it checked. Allocated once, at the batch's size.
    std::vector<std::int32_t>* actions;
    std::vector<std::uint8_t>* which;
    std::vector<Policy>* policies;
};

inline VectorObject* as_vector(PyObject* self) noexcept { return reinterpret_cast<VectorObject*>(self); }

// Runs body(object, engine) holding the object for this caller alone; null with RuntimeError set,
// before `body` runs, when another thread holds it.
template <class Body>
PyObject* exclusive(PyObject* self, Body&& body) {
    VectorObject* v = as_vector(self);
    const binding::Busy busy(v->busy, "VectorGames is in use by another thread");
    if (!busy) return nullptr;
    return body(*v, *v->engine);
}

// Four seats' settings from None (every seat's defaults) or a sequence of four dicts or Nones;
// false with ValueError or TypeError set for a bad entry.
bool read_settings(PyTypeObject* net_type, PyObject* arg, std::array<batch::SeatSettings, AGENT_COUNT>& out);

extern PyMethodDef vector_methods[];  // vector_methods.cpp

}  // namespace tavrin::engine
