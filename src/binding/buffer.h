// Buffers in both directions: a caller's array read or written in place, and an array of ours
// exported with its element type and shape, so that numpy sees what the engine wrote.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <span>
#include <type_traits>

#include "binding/ref.h"

namespace tavrin::binding {

// --- The caller's arrays ---

// A contiguous buffer of `count` items of `itemsize` bytes, released on every path.
class Buffer {
 public:
    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_ && !thread_ended_by_interpreter) PyBuffer_Release(&view_);
    }

    // Any C-contiguous buffer; its size is the caller's to check.
    bool get(PyObject* obj, bool writable = false) noexcept {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0)) < 0) return false;
        held_ = true;
        return true;
    }

    // Exactly `count` items of `itemsize` bytes; `what` names the argument in the error.
    bool get(PyObject* obj, const char* what, std::size_t count, Py_ssize_t itemsize, bool writable) noexcept {
        if (!get(obj, writable)) return false;
        if (view_.itemsize != itemsize || size() != count * static_cast<std::size_t>(itemsize)) {
            PyErr_Format(PyExc_ValueError, "%s: expected %zu items of %zd bytes, got %zd bytes in items of %zd", what,
                         count, itemsize, view_.len, view_.itemsize);
            return false;
        }
        return true;
    }

    void* data() const noexcept { return view_.buf; }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }
    template <class T>
    std::span<T> as() const noexcept {
        return {static_cast<T*>(view_.buf), size() / sizeof(T)};
    }

 private:
    Py_buffer view_{};
    bool held_ = false;
};

// Copies exactly `count` items of the caller's `arg` into `kept`, our own storage, and returns
// them there: the caller may write into its array while the engine works without the GIL, and the
// engine must apply exactly what was checked.
template <class T>
std::optional<std::span<const T>> copy_in(PyObject* arg, const char* what, std::span<T> kept) noexcept {
    Buffer buffer;
    if (!buffer.get(arg, what, kept.size(), sizeof(T), false)) return std::nullopt;
    std::memcpy(kept.data(), buffer.data(), kept.size_bytes());
    return std::span<const T>(kept);
}

// --- Our arrays ---

// An array's element type as a struct-module format character and its C-contiguous shape.
struct ArrayLayout {
    static constexpr std::size_t MAX_DIMS = 4;

    char format[2] = {'B', '\0'};  // NUL-terminated, as the buffer protocol reads it
    Py_ssize_t itemsize = 1;
    int ndim = 0;
    std::array<Py_ssize_t, MAX_DIMS> shape{};
    std::array<Py_ssize_t, MAX_DIMS> strides{};

    template <class T>
    static ArrayLayout of(std::initializer_list<std::size_t> dims) noexcept {
        ArrayLayout a;
        a.format[0] = format_of<T>();
        a.itemsize = sizeof(T);
        a.ndim = static_cast<int>(dims.size());
        int d = 0;
        for (std::size_t n : dims) a.shape[d++] = static_cast<Py_ssize_t>(n);
        Py_ssize_t stride = a.itemsize;
        for (d = a.ndim - 1; d >= 0; --d) {
            a.strides[d] = stride;
            stride *= a.shape[d];
        }
        return a;
    }

    Py_ssize_t bytes() const noexcept {
        Py_ssize_t n = itemsize;
        for (int d = 0; d < ndim; ++d) n *= shape[d];
        return n;
    }

 private:
    template <class T>
    static constexpr char format_of() noexcept {
        if constexpr (std::is_same_v<T, bool>) return '?';
        else if constexpr (std::is_same_v<T, float>) return 'f';
        else if constexpr (std::is_signed_v<T> && sizeof(T) == 1) return 'b';
        else if constexpr (std::is_signed_v<T> && sizeof(T) == 2) return 'h';
        else if constexpr (std::is_signed_v<T> && sizeof(T) == 4) return 'i';
        else if constexpr (std::is_signed_v<T> && sizeof(T) == 8) return 'q';
        else {
            static_assert(std::is_unsigned_v<T> && sizeof(T) == 1, "add the format of this element type");
            return 'B';
        }
    }
};

// Fills `view` for a read-only export of `data` laid out as `layout`, owned by `exporter`. Each
// field the consumer did not ask for stays empty, as the buffer protocol requires: a plain-bytes
// consumer (numpy.frombuffer) then sees the same bytes as before.
inline int export_array(PyObject* exporter, Py_buffer* view, int flags, const void* data,
                        const ArrayLayout& layout) noexcept {
    if (PyBuffer_FillInfo(view, exporter, const_cast<void*>(data), layout.bytes(), 1, flags) < 0) return -1;
    view->itemsize = layout.itemsize;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(layout.format) : nullptr;
    if ((flags & PyBUF_ND) == PyBUF_ND) {
        view->ndim = layout.ndim;
        view->shape = const_cast<Py_ssize_t*>(layout.shape.data());
    }
    if ((flags & PyBUF_STRIDES) == PyBUF_STRIDES) view->strides = const_cast<Py_ssize_t*>(layout.strides.data());
    return 0;
}

}  // namespace tavrin::binding
