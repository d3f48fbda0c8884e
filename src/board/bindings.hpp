// The Python classes Turn, Color and Board, as the other bindings see them.
#pragma once

#include "board/core.hpp"
#include "python/borrow.hpp"

namespace veltrix::board_py {

struct BoardObject {
    PyObject_HEAD
    py::BorrowFlag borrow;
    board::Board value;
};

// The types, created once per process (null with an error set on failure).
PyTypeObject* turn_type();
PyTypeObject* color_type();
PyTypeObject* board_type();

// A new Python Board holding a copy of `value`.
py::Ref new_board(const board::Board& value);
py::Ref new_turn(board::Turn turn);

// The Turn argument `name`, type-checked ("argument 'turn': ... 'Turn'").
board::Turn turn_argument(PyObject* value, const char* name);

// The Board argument `name`, type-checked ("argument 'board': ... 'Board'").
BoardObject* board_argument(PyObject* value, const char* name);

}  // namespace veltrix::board_py
