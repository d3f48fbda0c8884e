// The caller's arrays a batch reads and writes: checked once for item kind, size, contiguity and
// writability before any byte is touched, and held (their exports kept) for as long as needed.
#pragma once

#include <cstring>
#include <memory>

#include "python/buffer.hpp"

namespace veltrix::env_py {

enum class Items { Bytes, Int64, Float32 };

inline const char* items_name(Items kind) {
    switch (kind) {
        case Items::Bytes: return "one-byte items (uint8 or bool)";
        case Items::Int64: return "int64 items";
        case Items::Float32: return "float32 items";
    }
    return "?";
}

inline bool format_matches(Items kind, const Py_buffer& view) {
    const char* bare = py::bare_format(view.format);
    switch (kind) {
        case Items::Bytes: return view.itemsize == 1 && (py::is_byte_format(view.format) || std::strcmp(bare, "?") == 0);
        case Items::Int64:
            return view.itemsize == 8 && (std::strcmp(bare, "q") == 0 || std::strcmp(bare, "l") == 0 ||
                                          std::strcmp(bare, "n") == 0);
        case Items::Float32: return view.itemsize == 4 && std::strcmp(bare, "f") == 0;
    }
    return false;
}

// A caller's array of exactly `count` items of `kind`, C-contiguous, writable when asked;
// every check runs before anything is read or written.
class ArrayArg {
public:
    ArrayArg(PyObject* exporter, const char* name, Items kind, std::size_t count, bool writable)
        : view_(exporter, name) {
        Py_buffer& view = view_.get();
        if (!format_matches(kind, view)) {
            PyErr_Format(PyExc_TypeError, "argument '%s': needs %s, got format '%s' of %zd bytes", name,
                         items_name(kind), py::bare_format(view.format), view.itemsize);
            py::throw_error_set();
        }
        if (writable && view.readonly) {
            PyErr_Format(PyExc_ValueError, "argument '%s': the buffer is read-only", name);
            py::throw_error_set();
        }
        if (view.len != static_cast<Py_ssize_t>(count) * view.itemsize) {
            PyErr_Format(PyExc_ValueError, "argument '%s': needs %zu items, got %zd", name, count,
                         view.len / (view.itemsize > 0 ? view.itemsize : 1));
            py::throw_error_set();
        }
        if (!PyBuffer_IsContiguous(&view, 'C')) {
            PyErr_Format(PyExc_ValueError, "argument '%s': the buffer is not C-contiguous", name);
            py::throw_error_set();
        }
    }

    template <class T>
    T* data() {
        return static_cast<T*>(view_.get().buf);
    }

private:
    py::BufferView view_;
};

// An optional array: None (or an absent keyword) gives null.
template <class T>
T* optional_data(std::unique_ptr<ArrayArg>& holder, PyObject* value, const char* name, Items kind, std::size_t count) {
    if (value == nullptr || value == Py_None) return nullptr;
    holder = std::make_unique<ArrayArg>(value, name, kind, count, true);
    return holder->data<T>();
}

}  // namespace veltrix::env_py
