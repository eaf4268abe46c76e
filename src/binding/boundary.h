// The boundary between C++ exceptions and Python errors, work without the GIL, and process-wide
// objects made on first need: shared by both extension modules, each with its own fault policy.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <atomic>
#include <exception>
#include <new>
#include <type_traits>

#include "binding/ref.h"
#include "game/error.h"

namespace tavrin::binding {

// --- Process-wide objects made on first need ---

// Holds one Python object for the rest of the process. The modules declare no GIL, so two threads
// may ask first at the same moment: each may build a candidate, the first to publish wins and the
// others drop theirs before anyone has seen them. Nobody waits while attached to the interpreter
// (a blocking once-flag could stall against the GIL or a stop-the-world pause), and every caller
// observes the same object. The cached reference is never released.
class ObjectCache {
 public:
    template <class Make>
    PyObject* get(Make&& make) noexcept {
        // Acquire: pairs with the publishing exchange, so the object is seen fully built.
        PyObject* cached = object_.load(std::memory_order_acquire);
        if (cached != nullptr) return cached;
        PyObject* fresh = make();
        if (fresh == nullptr) return nullptr;
        // Release on success publishes the built object; acquire on failure reads the winner's.
        if (object_.compare_exchange_strong(cached, fresh, std::memory_order_acq_rel, std::memory_order_acquire))
            return fresh;
        Py_DECREF(fresh);
        return cached;
    }

 private:
    std::atomic<PyObject*> object_{nullptr};
};

// --- Fault policies ---

// What a module does when the engine's memory runs out: the game module ends the process (its
// fixed behaviour, and what the engine's own containers do), the batched engine raises MemoryError
// so that a caller asking for too large a batch can recover.
enum class OutOfMemory { Abort, Raise };

// A module's fault policy is a class with
//   static constexpr OutOfMemory out_of_memory;
//   static void internal(const char* what) noexcept;   // raises its internal error; what is null
//                                                        // for an exception that is no std::exception
// and optionally
//   static bool expected(const std::exception&) noexcept;  // raises a mapped error, true if it did
template <class Faults>
concept FaultPolicy = requires(const char* what) {
    { Faults::out_of_memory } -> std::convertible_to<OutOfMemory>;
    Faults::internal(what);
};

// Sets the Python error for the exception being handled; call it inside a catch block.
template <FaultPolicy Faults>
void raise_current() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        // The size of the failed request is not known here.
        if constexpr (Faults::out_of_memory == OutOfMemory::Abort)
            out_of_memory(0);
        else
            PyErr_NoMemory();
    } catch (const std::exception& e) {
        if constexpr (requires { Faults::expected(e); }) {
            if (Faults::expected(e)) return;
        }
        Faults::internal(e.what());
    } catch (...) {
        Faults::internal(nullptr);
    }
}

// --- Entry points ---

// Wraps one C API entry point (method, getter, constructor). The engine reports faults by
// throwing; they must not cross into the interpreter, so every entry of every table goes through
// here and the modules' other code does not catch.
//
// The one unwind that must go through is a thread's forced unwind: an interpreter that is shutting
// down ends a thread that tries to reattach with pthread_exit, which unwinds the stack to the
// thread's start. Catching it for good aborts the process ("exception not rethrown"), and turning
// it into a Python error would call the interpreter from a thread that no longer has a thread
// state. So it is rethrown untouched, and `call` is not noexcept: a noexcept frame would end the
// process on it too.
template <class Faults, auto Body>
struct Boundary;

template <class Faults, class R, class... Args, R (*Body)(Args...)>
struct Boundary<Faults, Body> {
    static_assert(std::is_pointer_v<R>, "a failed entry returns null with the Python error set");

    static R call(Args... args) {
        try {
            return Body(args...);
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            raise_current<Faults>();
        }
        return nullptr;
    }
};

// One method table entry of any calling convention, its body behind the boundary.
template <class Faults, auto Body>
PyMethodDef method(const char* name, int flags, const char* doc) noexcept {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Boundary<Faults, Body>::call)), flags,
            doc};
}

// One read-only property, its getter behind the boundary.
template <class Faults, auto Get>
PyGetSetDef property(const char* name, const char* doc) noexcept {
    return {name, &Boundary<Faults, Get>::call, nullptr, doc, nullptr};
}

// --- Work without the GIL ---

// Takes the GIL back. A shutting-down interpreter ends the thread here with pthread_exit; its
// forced unwind passes through, and the handles on its way then release nothing.
inline void reattach(PyThreadState* saved) {
    try {
        PyEval_RestoreThread(saved);
    } catch (abi::__forced_unwind&) {
        thread_ended_by_interpreter = true;
        throw;
    }
}

// Runs `work` with the GIL released; its exception is rethrown once the GIL is held again, for the
// boundary to turn into the Python error. Not noexcept, nor is any caller (see `reattach`).
template <class Work>
void without_gil(Work&& work) {
    std::exception_ptr error;
    PyThreadState* saved = PyEval_SaveThread();
    try {
        work();
    } catch (...) {
        error = std::current_exception();
    }
    reattach(saved);
    if (error) std::rethrow_exception(error);
}

}  // namespace tavrin::binding

// One method table entry: `name` as Python sees it, `body` behind the boundary of the expanding
// module's fault policy (a class named `Faults` where the table is written), and the doc string
// opening with the text signature "name(params)", then `text`.
#define BINDING_METHOD(name, body, flags, params, text) \
    ::tavrin::binding::method<Faults, body>(#name, flags, #name "(" params ")\n--\n\n" text)
