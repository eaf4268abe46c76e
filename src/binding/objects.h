// Making Python objects and modules: sequences built item by item, process-wide classes, and the
// module slots both modules declare.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <span>
#include <string_view>

#include "binding/boundary.h"
#include "binding/ref.h"

namespace tavrin::binding {

// --- Sequences ---

// A new list (or tuple) of `count` items made by make(i) (new references); null with the error
// set when one fails.
template <bool List, class Make>
PyObject* sequence_of(std::size_t count, Make&& make) noexcept {
    const auto n = static_cast<Py_ssize_t>(count);
    PyRef seq = PyRef::steal(List ? PyList_New(n) : PyTuple_New(n));
    if (!seq) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = make(static_cast<std::size_t>(i));
        if (item == nullptr) return nullptr;
        if constexpr (List)
            PyList_SET_ITEM(seq.get(), i, item);
        else
            PyTuple_SET_ITEM(seq.get(), i, item);
    }
    return seq.release();
}

template <class Make>
PyObject* list_of(std::size_t count, Make&& make) noexcept {
    return sequence_of<true>(count, make);
}

template <class Make>
PyObject* tuple_of(std::size_t count, Make&& make) noexcept {
    return sequence_of<false>(count, make);
}

inline PyObject* str_of(std::string_view text) noexcept {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// A tuple of str from a sequence of string views.
template <class Names>
PyObject* str_tuple(const Names& names) noexcept {
    return tuple_of(std::size(names), [&](std::size_t i) { return str_of(names[i]); });
}

// Adds `value` (a new reference, or null with the error set) under `key` of a dict, or as the
// attribute `key` of any other object.
inline bool put(PyObject* target, const char* key, PyObject* value) noexcept {
    PyRef owned = PyRef::steal(value);
    if (!owned) return false;
    if (PyDict_Check(target)) return PyDict_SetItemString(target, key, owned.get()) == 0;
    return PyObject_SetAttrString(target, key, owned.get()) == 0;
}

// New bytes holding `items`.
template <class T>
PyObject* bytes_of(std::span<const T> items) noexcept {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(items.data()),
                                     static_cast<Py_ssize_t>(items.size_bytes()));
}

// --- One caller at a time ---

// Holds an object's busy flag for one caller, refusing a second at once with RuntimeError
// `message` instead of waiting: a thread waiting here while attached to the interpreter would
// stall the one that must take the GIL back to finish.
class Busy {
 public:
    Busy(std::atomic<bool>& flag, const char* message) noexcept {
        // Acquire: the previous holder's writes to the object are visible to this one.
        if (!flag.exchange(true, std::memory_order_acquire)) {
            flag_ = &flag;
            return;
        }
        PyErr_SetString(PyExc_RuntimeError, message);
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
    ~Busy() {
        // Release: publishes this holder's writes to the next.
        if (flag_ != nullptr) flag_->store(false, std::memory_order_release);
    }
    explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
    std::atomic<bool>* flag_ = nullptr;
};

// --- Classes made once per process ---

// The class of `Spec`, made with PyType_FromSpec on first need and given its class attributes by
// `init` (null for none); null with the error set when making it fails. A function-local cache of
// constant initialisation: no guard, so the first need may come from any thread.
template <PyType_Spec* Spec, bool (*Init)(PyObject*) = nullptr>
PyTypeObject* process_type() noexcept {
    static ObjectCache cache;
    return reinterpret_cast<PyTypeObject*>(cache.get([]() noexcept -> PyObject* {
        PyRef type = PyRef::steal(PyType_FromSpec(Spec));
        if constexpr (Init != nullptr) {
            if (type && !Init(type.get())) return nullptr;
        }
        return type.release();
    }));
}

// --- Module slots ---

enum class Interpreters { MainOnly, PerInterpreterGil };

// A module's slots: its execution, which interpreters may import it, and that it runs without
// the GIL (each object guards itself; the process-wide tables are built once and read-only). The
// last two exist only on the interpreters that know them.
inline std::array<PyModuleDef_Slot, 4> module_slots(int (*exec)(PyObject*), [[maybe_unused]] Interpreters which) noexcept {
    std::array<PyModuleDef_Slot, 4> slots{};
    std::size_t n = 0;
    slots[n++] = {Py_mod_exec, reinterpret_cast<void*>(exec)};
#if PY_VERSION_HEX >= 0x030C0000
    slots[n++] = {Py_mod_multiple_interpreters, which == Interpreters::MainOnly
                                                    ? Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED
                                                    : Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
#endif
#if PY_VERSION_HEX >= 0x030D0000
    slots[n++] = {Py_mod_gil, Py_MOD_GIL_NOT_USED};
#endif
    return slots;  // the rest stays {0, nullptr}, the end of the list
}

}  // namespace tavrin::binding
