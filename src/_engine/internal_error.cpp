// The package's internal-error class, shared with tavrin_rl._tavrin.
#include "_engine/internal_error.h"

#include <dlfcn.h>

#include <atomic>

namespace tavrin::engine {

namespace {

// Made once per process by _tavrin and never released; one strong reference is kept here.
std::atomic<PyObject*> found{nullptr};

constexpr const char* SYMBOL = "tavrin_rl_internal_error_type";

// _tavrin's library, already loaded by the interpreter (extensions load with RTLD_LOCAL, so its
// symbols are reachable only through its own handle). A handle to release with dlclose, or null
// with ImportError set.
void* tavrin_library() noexcept {
    PyObject* module = PyImport_ImportModule("tavrin_rl._tavrin");
    if (module == nullptr) return nullptr;
    PyObject* file = PyObject_GetAttrString(module, "__file__");
    Py_DECREF(module);
    if (file == nullptr) return nullptr;
    PyObject* path = PyUnicode_EncodeFSDefault(file);
    Py_DECREF(file);
    if (path == nullptr) return nullptr;
    void* library = dlopen(PyBytes_AS_STRING(path), RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) PyErr_Format(PyExc_ImportError, "tavrin_rl._tavrin is not loaded from %S: %s", path, dlerror());
    Py_DECREF(path);
    return library;
}

}  // namespace

PyObject* find_internal_error() noexcept {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) return nullptr;
    if (PyObject* known = found.load(std::memory_order_acquire)) return known;
    void* library = tavrin_library();
    if (library == nullptr) return nullptr;
    auto get = reinterpret_cast<PyObject* (*)()>(dlsym(library, SYMBOL));
    // The interpreter's own handle keeps the library loaded after ours is closed.
    dlclose(library);
    if (get == nullptr) {
        PyErr_Format(PyExc_ImportError, "tavrin_rl._tavrin does not export %s", SYMBOL);
        return nullptr;
    }
    PyObject* type = get();
    if (type == nullptr) return nullptr;
    PyObject* expected = nullptr;
    // Two threads may import at once; both get the same class from _tavrin, and one reference stays.
    if (!found.compare_exchange_strong(expected, type, std::memory_order_acq_rel)) Py_DECREF(type);
    return found.load(std::memory_order_acquire);
}

PyObject* internal_error_or(PyObject* fallback) noexcept {
    PyObject* type = found.load(std::memory_order_acquire);
    if (type == nullptr || PyInterpreterState_Get() != PyInterpreterState_Main()) return fallback;
    return type;
}

}  // namespace tavrin::engine
