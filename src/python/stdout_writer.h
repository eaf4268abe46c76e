// The module's own writer to file descriptor 1, which render uses instead of sys.stdout.
#pragma once

#include <Python.h>

#include <string_view>

namespace tavrin::python {

// Writes all of `text` to file descriptor 1. Call it attached to the interpreter and holding no
// borrow: it detaches while the system call blocks, so a full pipe stalls only the caller, and it
// reattaches only to run signal handlers. Returns true once every byte is written; false with a
// Python exception set: the exception a signal handler raised while the write waited (Ctrl-C's
// KeyboardInterrupt stops a render stuck on a pipe nobody reads), or the module's internal error
// "failed printing to stdout: <system error text>".
//
// Not noexcept, and nothing owning a Python reference may live in a caller's frame across it: an
// interpreter that is shutting down ends a thread that reattaches with pthread_exit, whose forced
// unwind must travel through these frames to the thread's start.
//
// No lock: a process-wide lock held across a blocking write would be inherited held by a forked
// child and would keep Ctrl-C waiting behind another thread's stuck write. What is guaranteed
// instead is what one write call gives: the whole text goes to the system in one call, so
// terminals and regular files take a picture whole and concurrent renders never mix there; a pipe
// takes at most PIPE_BUF (4096) bytes atomically, and a picture is larger, so renders racing on a
// pipe may interleave. A write cut short (a full pipe, a signal) goes on with further calls,
// between which another thread's text can land.
bool write_stdout(std::string_view text);

// From the interpreter's exit on (an atexit callback calls it), write_stdout writes without
// detaching; returns once the detaches already under way are complete. Without the GIL the exit
// stops the world and frees the other threads' states: a thread that detaches just then is counted
// as stopped before it has finished detaching and finishes on its freed state (a crash in drop_gil
// on 3.13t). With the GIL this is never needed and does nothing.
void stop_detaching() noexcept;

}  // namespace tavrin::python
