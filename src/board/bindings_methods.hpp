// Board entry points defined outside bindings.cpp, gathered into its method and slot tables.
#pragma once

#include "python/type.hpp"

namespace veltrix::board_py::methods {

// Value behaviour: comparison, repr, pickling and copying.
PyObject* richcompare(PyObject* self, PyObject* other, int op);
PyObject* repr(PyObject* self);
PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* reduce_ex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Square names and transcripts (parse_square and square_name are static, from_transcript a
// class method).
PyObject* parse_square(PyObject* unused, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* square_name(PyObject* unused, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* do_move_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* from_transcript(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Symmetries.
PyObject* transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* canonical(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Export: planes into a caller's buffer, and the SVG picture.
PyObject* write_planes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* to_svg(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* repr_svg(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace veltrix::board_py::methods
