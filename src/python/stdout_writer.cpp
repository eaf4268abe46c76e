// The module's own writer to file descriptor 1.
#include "python/stdout_writer.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <thread>

#include <unistd.h>

#include "python/boundary.h"

namespace tavrin::python {

namespace {

// strerror_r comes in a GNU flavour returning the text and a POSIX one filling the buffer.
[[maybe_unused]] const char* error_text(int result, const char* buffer) noexcept {
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* error_text(const char* text, const char*) noexcept { return text; }

void raise_write_error(int error) noexcept {
    PyObject* type = internal_error_type();
    if (type == nullptr) return;  // the error of making the class stays set
    char buffer[256] = {};
    PyErr_Format(type, "failed printing to stdout: %s", error_text(strerror_r(error, buffer, sizeof buffer), buffer));
}

#ifdef Py_GIL_DISABLED
// Sequentially consistent, both: a writer raises `detaching` then reads `exiting`, stop_detaching
// sets `exiting` then reads `detaching`, so one of them sees the other's store and no detach can
// begin unseen after stop_detaching has returned.
std::atomic<bool> exiting{false};
std::atomic<int> detaching{0};
#endif

// The thread's state once detached, or null when it stays attached (the interpreter is exiting).
PyThreadState* detach() noexcept {
#ifdef Py_GIL_DISABLED
    detaching.fetch_add(1);
    PyThreadState* saved = exiting.load() ? nullptr : PyEval_SaveThread();
    detaching.fetch_sub(1);
    return saved;
#else
    return PyEval_SaveThread();
#endif
}

void attach(PyThreadState* saved) {
    if (saved != nullptr) binding::reattach(saved);
}

}  // namespace

void stop_detaching() noexcept {
#ifdef Py_GIL_DISABLED
    exiting.store(true);
    // A detach under way takes no lock and waits for nothing: this spins a few instructions.
    while (detaching.load() != 0) std::this_thread::yield();
#endif
}

bool write_stdout(std::string_view text) {
    const char* data = text.data();
    std::size_t size = text.size();
    int error = 0;
    // Detached: another thread (or, without the GIL, the rest of the interpreter) runs while the
    // system call blocks. Not once the interpreter is exiting (see stop_detaching).
    PyThreadState* detached = detach();
    while (size > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, data, size);
        if (written > 0) {
            data += written;
            size -= static_cast<std::size_t>(written);
            if (size == 0) break;
        } else if (written == 0) {
            error = EIO;  // no progress and no error: do not spin
            break;
        } else if (errno != EINTR) {
            error = errno;
            break;
        }
        // Interrupted, or cut short (a signal that arrives after some bytes went out ends the call
        // early instead of failing it): run the handlers before blocking again, possibly for ever,
        // as Python's own file objects do. Handlers run in the main thread only; elsewhere this
        // finds nothing to do and the write goes on.
        attach(detached);
        if (PyErr_CheckSignals() < 0) return false;
        detached = detach();
    }
    attach(detached);
    if (error == 0) return true;
    raise_write_error(error);
    return false;
}

}  // namespace tavrin::python
