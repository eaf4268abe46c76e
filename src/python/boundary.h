// The one place where engine faults become Python exceptions, and the process-wide object cache.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <atomic>
#include <exception>
#include <new>
#include <type_traits>

#include "game/error.h"

namespace tavrin::python {

// --- Process-wide objects made on first need ---

// Holds one Python object for the rest of the process. The module declares no GIL, so two threads
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

// --- Internal faults ---

// The module's internal-error exception, a BaseException subclass made once per process; null
// with a Python error set if it cannot be made.
PyObject* internal_error_type() noexcept;

// Raises the internal-error exception with `message`.
void raise_internal_error(const char* message) noexcept;

// Wraps one C API entry point (method, getter, constructor). The engine reports internal faults by
// throwing; they must not cross into the interpreter, so every entry of every table goes through
// here and no other code in the module catches.
//
// The one unwind that must go through is a thread's forced unwind: an interpreter that is shutting
// down ends a thread that tries to reattach (render's write, say) with pthread_exit, which unwinds
// the stack to the thread's start. Catching it for good aborts the process ("exception not
// rethrown"), and turning it into a Python error would call the interpreter from a thread that no
// longer has a thread state. So it is rethrown untouched, and `call` is not noexcept: a noexcept
// frame would end the process on it too.
template <auto Body>
struct Boundary;

template <class R, class... Args, R (*Body)(Args...)>
struct Boundary<Body> {
    static_assert(std::is_pointer_v<R>, "a failed entry returns null with the Python error set");

    static R call(Args... args) {
        try {
            return Body(args...);
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (const InternalError& e) {
            raise_internal_error(e.what());
        } catch (const std::bad_alloc&) {
            // Exhausting the engine's own memory ends the process, as its containers already do;
            // the size of the failed request is not known here.
            out_of_memory(0);
        } catch (const std::exception& e) {
            raise_internal_error(e.what());
        } catch (...) {
            raise_internal_error("unknown internal fault");
        }
        return nullptr;
    }
};

template <auto Body>
inline constexpr auto boundary = &Boundary<Body>::call;

// A method entry of any calling convention as the method table stores it.
template <auto Body>
PyCFunction method_entry() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(boundary<Body>));
}

}  // namespace tavrin::python
