// What the module's functions and its Net type read and return alike: a game from its state
// bytes, a stream from its state, and the (move, stream) pair every pick answers with. One home,
// so a rule, the search and a net read a game the same way and reject it with the same words.
#pragma once

#include "_engine/binding.h"

#include <cstdint>
#include <optional>

#include "game/game.h"
#include "game/state_bytes.h"
#include "game/stream.h"

namespace tavrin::engine {

// The game in `state` (exactly its state bytes), or nothing with ValueError set.
inline std::optional<Game> game_of(const Buffer& state) {
    std::optional<Game> game;
    if (state.size() == STATE_SIZE) game = from_bytes(static_cast<const std::uint8_t*>(state.data()), STATE_SIZE);
    if (!game) PyErr_SetString(PyExc_ValueError, "not a game state written by to_bytes() of this version");
    return game;
}

// The stream whose state is the int `obj`, taken modulo 2^64 (a state is any 64 bits, and Python
// callers hand on what the last call returned); nothing with TypeError set for a non-int.
inline std::optional<Stream> stream_of(PyObject* obj) noexcept {
    const Stream stream{PyLong_AsUnsignedLongLongMask(obj)};
    if (PyErr_Occurred()) return std::nullopt;
    return stream;
}

// (grid index or None, the stream's next state): what a rule, the search or a net picked.
inline PyObject* move_and_stream(std::optional<std::uint32_t> move, const Stream& stream) noexcept {
    PyRef state = PyRef::steal(PyLong_FromUnsignedLongLong(stream.state));
    if (!state) return nullptr;
    PyRef action = move ? PyRef::steal(PyLong_FromUnsignedLong(*move)) : PyRef::borrow(Py_None);
    if (!action) return nullptr;
    return PyTuple_Pack(2, action.get(), state.get());
}

}  // namespace tavrin::engine
