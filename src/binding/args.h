// Argument matching and conversion for both extension modules: the game module's members match
// parameters by name with the interpreter's wording; the batched engine's take positional codes.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "binding/ref.h"

namespace tavrin::binding {

// --- Errors in the interpreter's words ---

// TypeError "'T' object is not an instance of 'WHAT'", T the qualified type name; None reads
// "'None' is not an instance of 'WHAT'".
inline void raise_not_instance(PyObject* obj, const char* what) noexcept {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", what);
        return;
    }
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), what);
}

// Adds the note "while processing 'PARAM'" to the exception being raised. Goes through the
// exception's own `add_note`, which every supported interpreter has (the C shortcut is newer).
inline void add_argument_note(const char* param) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *exc = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &exc, &tb);
    PyErr_NormalizeException(&type, &exc, &tb);
#endif
    if (exc != nullptr) {
        PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", param));
        PyRef added = note ? PyRef::steal(PyObject_CallMethod(exc, "add_note", "O", note.get())) : PyRef();
        // The caller must see the conversion's own error; a failure to annotate it is dropped.
        if (!added) PyErr_Clear();
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    if (exc != nullptr && tb != nullptr) PyException_SetTraceback(exc, tb);
    PyErr_Restore(type, exc, tb);
#endif
}

// --- Matching ---

// The grammatical tail of "takes N positional arguments but M ...".
inline const char* given_word(Py_ssize_t n) noexcept { return n == 1 ? "was" : "were"; }

// Matches the one required parameter `param` of `func` (e.g. "PyTavrin.step()") from a
// fast-call argument vector. Returns the argument (borrowed from the caller for the call) or sets
// TypeError and returns null.
inline PyObject* parse_one(const char* func, const char* param, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s takes 1 positional arguments but %zd %s given", func, nargs,
                     given_word(nargs));
        return nullptr;
    }
    PyObject* found = nargs == 1 ? args[0] : nullptr;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, param) != 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", func, key);
            return nullptr;
        }
        if (found != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", func, param);
            return nullptr;
        }
        found = args[nargs + i];
    }
    if (found == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'", func, param);
        return nullptr;
    }
    return found;
}

// Matches an empty parameter list from the tuple and dict of a constructor call.
inline bool parse_none(const char* func, PyObject* args, PyObject* kwargs) noexcept {
    const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%s takes 0 positional arguments but %zd %s given", func, nargs,
                     given_word(nargs));
        return false;
    }
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        // Any key is unexpected; report the first, as the interpreter does.
        PyRef keys = PyRef::steal(PyDict_Keys(kwargs));
        if (!keys) return false;
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", func,
                     PyList_GET_ITEM(keys.get(), 0));
        return false;
    }
    return true;
}

// Matches a positional-only call of `min` to `max` arguments; TypeError otherwise.
inline bool arity(const char* func, Py_ssize_t nargs, Py_ssize_t min, Py_ssize_t max) noexcept {
    if (nargs >= min && nargs <= max) return true;
    if (min == max)
        PyErr_Format(PyExc_TypeError, "%s takes %zd arguments (%zd given)", func, min, nargs);
    else
        PyErr_Format(PyExc_TypeError, "%s takes %zd or %zd arguments (%zd given)", func, min, max, nargs);
    return false;
}

// --- Conversions: each returns nothing with a Python error set on failure ---

// A code below `limit` (a policy, an observation mode); ValueError "WHAT must be below LIMIT, got V".
inline std::optional<unsigned> to_code(PyObject* obj, const char* what, std::size_t limit) noexcept {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    if (value < 0 || static_cast<unsigned long>(value) >= limit) {
        PyErr_Format(PyExc_ValueError, "%s must be below %zu, got %ld", what, limit, value);
        return std::nullopt;
    }
    return static_cast<unsigned>(value);
}

// `value` from `low` to `high`; ValueError "WHAT must be from LOW to HIGH, got V" otherwise.
inline bool in_range(const char* what, long long value, long long low, long long high) noexcept {
    if (value >= low && value <= high) return true;
    PyErr_Format(PyExc_ValueError, "%s must be from %lld to %lld, got %lld", what, low, high, value);
    return false;
}

// An int from 0 to 2^64 - 1, with the interpreter's OverflowError outside.
inline std::optional<std::uint64_t> to_u64(PyObject* obj) noexcept {
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
    return value;
}


// An int, or anything with __index__, that fits in 32 unsigned bits. May run Python code.
inline std::optional<std::uint32_t> to_u32(PyObject* obj) noexcept {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return std::nullopt;
    // Negative values and values of 2^64 or more fail here with the interpreter's OverflowError.
    const std::optional<std::uint64_t> value = to_u64(index.get());
    if (!value) return std::nullopt;
    if (*value > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(*value);
}

// A str, read as UTF-8; the view lives as long as `obj`.
inline std::optional<std::string_view> to_text(PyObject* obj) noexcept {
    if (!PyUnicode_Check(obj)) {
        raise_not_instance(obj, "str");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

// A bytes object (or subclass), read in place; the view lives as long as `obj`. Mutable buffers
// are refused: the game is read from them without a copy.
inline std::optional<std::span<const std::uint8_t>> to_byte_view(PyObject* obj) noexcept {
    if (!PyBytes_Check(obj)) {
        raise_not_instance(obj, "bytes");
        return std::nullopt;
    }
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
    return std::span<const std::uint8_t>(data, static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
}

// Runs one conversion of parameter `param`; a failure keeps its exception and gains the note
// "while processing 'PARAM'".
template <class Convert>
auto convert(const char* param, PyObject* obj, Convert&& conversion) noexcept {
    auto value = std::forward<Convert>(conversion)(obj);
    if (!value) add_argument_note(param);
    return value;
}

}  // namespace tavrin::binding
