// Board export: the one-hot planes written into a caller's buffer, and the SVG picture.
#include <cstring>
#include <string>

#include "board/bindings.hpp"
#include "board/bindings_methods.hpp"
#include "board/planes.hpp"
#include "board/svg.hpp"
#include "python/args.hpp"
#include "python/buffer.hpp"

namespace veltrix::board_py::methods {

namespace {

using board::Board;
using py::BufferView;
using py::is_byte_format;

Board read(PyObject* self) {
    BoardObject* object = reinterpret_cast<BoardObject*>(self);
    const py::SharedBorrow borrow(object->borrow);
    return object->value;
}

py::Ref svg_text(const Board& b) {
    const auto svg = board::board_svg(b);
    if (!svg) py::raise_value_error("Invalid state");
    return py::require(PyUnicode_FromStringAndSize(svg.value().data(), static_cast<Py_ssize_t>(svg.value().size())));
}

}  // namespace

// Fills a caller's writable, C-contiguous buffer of 192 one-byte items with the values of
// get_board_matrix(); every check runs before the first byte is written.
PyObject* write_planes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.write_planes", {"buffer"}};
    return py::guarded_object([&] {
        const auto [buffer] = py::parse<1>(signature, args, nargs, kwnames);
        BufferView holder(buffer, "buffer");
        Py_buffer& view = holder.get();
        if (view.itemsize != 1 || !is_byte_format(view.format)) {
            PyErr_Format(PyExc_TypeError, "argument 'buffer': items must be single bytes (format 'B'), not format '%s'",
                         view.format == nullptr ? "B" : view.format);
            py::throw_error_set();
        }
        if (view.readonly) py::raise_value_error("argument 'buffer': the buffer is read-only");
        if (view.len != static_cast<Py_ssize_t>(board::kPlaneBytes)) {
            PyErr_Format(PyExc_ValueError, "argument 'buffer': needs 192 items (3 x 8 x 8), got %zd", view.len);
            py::throw_error_set();
        }
        if (!PyBuffer_IsContiguous(&view, 'C')) py::raise_value_error("argument 'buffer': the buffer is not C-contiguous");
        const Board b = read(self);
        if (!b.is_sound()) py::raise_value_error("Invalid state");
        board::write_planes(b.player, b.opponent, static_cast<std::uint8_t*>(view.buf));
        Py_RETURN_NONE;
    });
}

PyObject* to_svg(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.to_svg", {}};
    return py::guarded_object([&] {
        py::parse<0>(signature, args, nargs, kwnames);
        return svg_text(read(self)).release();
    });
}

// The notebook's picture: the same text as to_svg(), or None for a board whose words overlap,
// so that the notebook falls back to repr() instead of showing an error.
PyObject* repr_svg(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board._repr_svg_", {}};
    return py::guarded_object([&] {
        py::parse<0>(signature, args, nargs, kwnames);
        const Board b = read(self);
        if (!b.is_sound()) Py_RETURN_NONE;
        return svg_text(b).release();
    });
}

}  // namespace veltrix::board_py::methods
