// Buffers of other objects (bytearray, array.array, NumPy arrays) read and written in place.
#pragma once

#include "python/args.hpp"

namespace veltrix::py {

// A buffer view, released on every path.
class BufferView {
public:
    BufferView(PyObject* exporter, const char* name) {
        if (PyObject_GetBuffer(exporter, &view_, PyBUF_RECORDS_RO) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error_set();
            PyErr_Clear();
            raise_argument_error(name, "'" + type_name(exporter) + "' object does not support the buffer protocol");
        }
    }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    Py_buffer& get() { return view_; }

private:
    Py_buffer view_{};
};

// The struct format of a buffer without its byte-order prefix ("B" when it has none).
inline const char* bare_format(const char* format) {
    if (format == nullptr) return "B";  // no format means unsigned bytes
    if (*format == '@' || *format == '=' || *format == '<' || *format == '>' || *format == '!') ++format;
    return format;
}

// True for the struct formats of a one-byte integer ("B" or "b", with an optional byte-order
// prefix, which a single byte does not care about).
inline bool is_byte_format(const char* format) {
    const char* bare = bare_format(format);
    return (bare[0] == 'B' || bare[0] == 'b') && bare[1] == '\0';
}

}  // namespace veltrix::py
