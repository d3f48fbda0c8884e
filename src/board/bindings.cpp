// The Python class Board: one position, its rules and its text forms.
#include "board/bindings.hpp"

#include "board/bindings_methods.hpp"
#include "python/args.hpp"
#include "python/type.hpp"

namespace veltrix::board_py {

namespace {

using board::Board;
using board::BoardError;

BoardObject* as_board(PyObject* self) { return reinterpret_cast<BoardObject*>(self); }

// The fixed message of each method's board errors.
[[noreturn]] void raise_board_error(BoardError error, BoardError expected, const char* message) {
    py::raise_value_error(error == expected ? message : "Unexpected error");
}

py::Ref to_py(bool value) { return py::Ref::new_ref(value ? Py_True : Py_False); }
py::Ref to_py(int value) { return py::require(PyLong_FromLong(value)); }
py::Ref to_py(unsigned value) { return py::require(PyLong_FromUnsignedLong(value)); }
py::Ref to_py(std::uint64_t value) { return py::require(PyLong_FromUnsignedLongLong(value)); }

template <class Sequence>
py::Ref int_list(const Sequence& values) {
    py::Ref list = py::require(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_py(static_cast<unsigned>(values[i])).release());
    }
    return list;
}

// Runs `read(board)` on a board shared for the call, with no arguments accepted.
template <class Read>
PyObject* read_board(const py::ArgSpec& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Read&& read) {
    return py::guarded_object([&] {
        py::parse<0>(signature, args, nargs, kwnames);
        BoardObject* object = as_board(self);
        const py::SharedBorrow borrow(object->borrow);
        return read(object->value).release();
    });
}

// Defines a method that takes no arguments and reads the board.
#define VELTRIX_BOARD_QUERY(method, expression)                                                      \
    PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {  \
        static const py::ArgSpec signature{"Board." #method, {}};                                         \
        return read_board(signature, self, args, nargs, kwnames, [](const Board& b) { return expression; }); \
    }

template <class T>
T game_result(const veltrix::Result<T, BoardError>& result) {
    if (!result) raise_board_error(result.error(), BoardError::GameNotOverYet, "Game is not over yet");
    return result.value();
}

template <class T>
T rendered(const veltrix::Result<T, BoardError>& result) {
    if (!result) raise_board_error(result.error(), BoardError::InvalidState, "Invalid state");
    return result.value();
}

py::Ref board_tuple(const Board& b) {
    py::Ref player = to_py(b.player);
    py::Ref opponent = to_py(b.opponent);
    py::Ref turn = new_turn(b.turn);
    return py::require(PyTuple_Pack(3, player.get(), opponent.get(), turn.get()));
}

py::Ref matrix_list(const Board& b) {
    const auto planes = rendered(b.get_board_matrix());
    py::Ref outer = py::require(PyList_New(3));
    for (Py_ssize_t plane = 0; plane < 3; ++plane) {
        py::Ref rows = py::require(PyList_New(8));
        for (Py_ssize_t row = 0; row < 8; ++row) {
            PyList_SET_ITEM(rows.get(), row, int_list(planes[plane][row]).release());
        }
        PyList_SET_ITEM(outer.get(), plane, rows.release());
    }
    return outer;
}

py::Ref bool_list(const std::array<bool, 64>& values) {
    py::Ref list = py::require(PyList_New(64));
    for (Py_ssize_t i = 0; i < 64; ++i) PyList_SET_ITEM(list.get(), i, to_py(values[i]).release());
    return list;
}

py::Ref children_list(const Board& b) {
    const std::optional<std::vector<Board>> children = b.get_child_boards();
    if (!children) return py::Ref::new_ref(Py_None);
    py::Ref list = py::require(PyList_New(static_cast<Py_ssize_t>(children->size())));
    for (std::size_t i = 0; i < children->size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_board((*children)[i]).release());
    }
    return list;
}

py::Ref winner(const Board& b) {
    const std::optional<board::Turn> turn = game_result(b.get_winner());
    return turn ? new_turn(*turn) : py::Ref::new_ref(Py_None);
}

py::Ref random_move(const Board& b) {
    const auto move = b.get_random_move();
    if (!move) raise_board_error(move.error(), BoardError::NoLegalMove, "No legal move");
    return to_py(move.value());
}

py::Ref text(const std::string& value) {
    return py::require(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

VELTRIX_BOARD_QUERY(get_board, board_tuple(b))
VELTRIX_BOARD_QUERY(get_board_line, text(rendered(b.get_board_line())))
VELTRIX_BOARD_QUERY(get_board_vec_black, int_list(rendered(b.get_board_vec_black())))
VELTRIX_BOARD_QUERY(get_board_vec_turn, int_list(rendered(b.get_board_vec_turn())))
VELTRIX_BOARD_QUERY(get_board_matrix, matrix_list(b))
VELTRIX_BOARD_QUERY(player_piece_num, to_py(b.player_piece_num()))
VELTRIX_BOARD_QUERY(opponent_piece_num, to_py(b.opponent_piece_num()))
VELTRIX_BOARD_QUERY(black_piece_num, to_py(b.black_piece_num()))
VELTRIX_BOARD_QUERY(white_piece_num, to_py(b.white_piece_num()))
VELTRIX_BOARD_QUERY(piece_sum, to_py(b.piece_sum()))
VELTRIX_BOARD_QUERY(diff_piece_num, to_py(b.diff_piece_num()))
VELTRIX_BOARD_QUERY(get_legal_moves, to_py(b.get_legal_moves()))
VELTRIX_BOARD_QUERY(get_legal_moves_vec, int_list(b.get_legal_moves_vec()))
VELTRIX_BOARD_QUERY(get_legal_moves_tf, bool_list(b.get_legal_moves_tf()))
VELTRIX_BOARD_QUERY(get_child_boards, children_list(b))
VELTRIX_BOARD_QUERY(is_pass, to_py(b.is_pass()))
VELTRIX_BOARD_QUERY(is_game_over, to_py(b.is_game_over()))
VELTRIX_BOARD_QUERY(is_win, to_py(game_result(b.is_win())))
VELTRIX_BOARD_QUERY(is_lose, to_py(game_result(b.is_lose())))
VELTRIX_BOARD_QUERY(is_draw, to_py(game_result(b.is_draw())))
VELTRIX_BOARD_QUERY(is_black_win, to_py(game_result(b.is_black_win())))
VELTRIX_BOARD_QUERY(is_white_win, to_py(game_result(b.is_white_win())))
VELTRIX_BOARD_QUERY(get_winner, winner(b))
VELTRIX_BOARD_QUERY(get_random_move, random_move(b))
VELTRIX_BOARD_QUERY(clone, new_board(b))

#undef VELTRIX_BOARD_QUERY

PyObject* is_legal_move(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.is_legal_move", {"pos"}};
    return py::guarded_object([&] {
        const auto [pos_arg] = py::parse<1>(signature, args, nargs, kwnames);
        const std::size_t pos = py::to_usize(pos_arg, "pos");
        BoardObject* object = as_board(self);
        const py::SharedBorrow borrow(object->borrow);
        // A square past the board is refused the way do_move refuses it.
        if (pos > 63) py::raise_value_error("Invalid position");
        return to_py(object->value.is_legal_move(static_cast<unsigned>(pos))).release();
    });
}

PyObject* do_move(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.do_move", {"pos"}};
    return py::guarded_object([&] {
        const auto [pos_arg] = py::parse<1>(signature, args, nargs, kwnames);
        const std::size_t pos = py::to_usize(pos_arg, "pos");
        BoardObject* object = as_board(self);
        const py::ExclusiveBorrow borrow(object->borrow);
        const auto done = object->value.do_move(pos);
        if (!done) {
            py::raise_value_error(done.error() == BoardError::InvalidPosition ? "Invalid position"
                                  : done.error() == BoardError::InvalidMove   ? "Invalid move"
                                                                              : "Unexpected error");
        }
        Py_RETURN_NONE;
    });
}

PyObject* do_pass(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.do_pass", {}};
    return py::guarded_object([&] {
        py::parse<0>(signature, args, nargs, kwnames);
        BoardObject* object = as_board(self);
        const py::ExclusiveBorrow borrow(object->borrow);
        const auto done = object->value.do_pass();
        if (!done) raise_board_error(done.error(), BoardError::InvalidPass, "Invalid pass");
        Py_RETURN_NONE;
    });
}

PyObject* set_board(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.set_board", {"player_board", "opponent_board", "turn"}};
    return py::guarded_object([&] {
        const auto [player_arg, opponent_arg, turn_arg] = py::parse<3>(signature, args, nargs, kwnames);
        const std::uint64_t player = py::to_u64(player_arg, "player_board");
        const std::uint64_t opponent = py::to_u64(opponent_arg, "opponent_board");
        const board::Turn turn = turn_argument(turn_arg, "turn");
        BoardObject* object = as_board(self);
        const py::ExclusiveBorrow borrow(object->borrow);
        object->value = Board{player, opponent, turn};
        Py_RETURN_NONE;
    });
}

PyObject* set_board_str(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.set_board_str", {"line", "turn"}};
    return py::guarded_object([&] {
        const auto [line_arg, turn_arg] = py::parse<2>(signature, args, nargs, kwnames);
        const std::u32string line = py::to_u32string(line_arg, "line");
        const board::Turn turn = turn_argument(turn_arg, "turn");
        BoardObject* object = as_board(self);
        const py::ExclusiveBorrow borrow(object->borrow);
        const auto done = object->value.set_board_str(line, turn);
        if (!done) raise_board_error(done.error(), BoardError::InvalidCharactor, "Invalid charactor");
        Py_RETURN_NONE;
    });
}

PyObject* board_str(PyObject* self) {
    return py::guarded_object([&] {
        BoardObject* object = as_board(self);
        const py::SharedBorrow borrow(object->borrow);
        return text(rendered(object->value.to_string())).release();
    });
}

PyObject* board_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const py::ArgSpec signature{"Board.__new__", {}};
    return py::guarded_object([&] {
        if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
            py::parse_tuple_args(signature, args, kwargs, nullptr);
        }
        py::Ref object = py::require(type->tp_alloc(type, 0));
        as_board(object.get())->value = Board{};
        return object.release();
    });
}

// Board() through vectorcall skips the argument tuple and dict of the generic type call.
PyObject* board_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.__new__", {}};
    return py::guarded_object([&] {
        py::parse<0>(signature, args, PyVectorcall_NARGS(nargsf), kwnames);
        PyTypeObject* board_class = reinterpret_cast<PyTypeObject*>(type);
        py::Ref object = py::require(board_class->tp_alloc(board_class, 0));
        as_board(object.get())->value = Board{};
        return object.release();
    });
}

// A method-table entry with extra flags (METH_STATIC, METH_CLASS); `signature` is the full text
// signature, for methods that do not take $self.
PyMethodDef special_method(const char* name, py::FastMethod function, const char* signature, int flags) {
    PyMethodDef entry = py::fast_method(name, function, signature);
    entry.ml_flags |= flags;
    return entry;
}

PyMethodDef kBoardMethods[] = {
    VELTRIX_METHOD(get_board, ""),
    VELTRIX_METHOD(set_board, ", player_board, opponent_board, turn"),
    VELTRIX_METHOD(set_board_str, ", line, turn"),
    VELTRIX_METHOD(get_board_line, ""),
    VELTRIX_METHOD(get_board_vec_black, ""),
    VELTRIX_METHOD(get_board_vec_turn, ""),
    VELTRIX_METHOD(get_board_matrix, ""),
    VELTRIX_METHOD(player_piece_num, ""),
    VELTRIX_METHOD(opponent_piece_num, ""),
    VELTRIX_METHOD(black_piece_num, ""),
    VELTRIX_METHOD(white_piece_num, ""),
    VELTRIX_METHOD(piece_sum, ""),
    VELTRIX_METHOD(diff_piece_num, ""),
    VELTRIX_METHOD(get_legal_moves, ""),
    VELTRIX_METHOD(get_legal_moves_vec, ""),
    VELTRIX_METHOD(get_legal_moves_tf, ""),
    VELTRIX_METHOD(is_legal_move, ", pos"),
    VELTRIX_METHOD(get_child_boards, ""),
    VELTRIX_METHOD(do_move, ", pos"),
    VELTRIX_METHOD(do_pass, ""),
    VELTRIX_METHOD(is_pass, ""),
    VELTRIX_METHOD(is_game_over, ""),
    VELTRIX_METHOD(is_win, ""),
    VELTRIX_METHOD(is_lose, ""),
    VELTRIX_METHOD(is_draw, ""),
    VELTRIX_METHOD(is_black_win, ""),
    VELTRIX_METHOD(is_white_win, ""),
    VELTRIX_METHOD(get_winner, ""),
    VELTRIX_METHOD(get_random_move, ""),
    VELTRIX_METHOD(clone, ""),
    VELTRIX_METHOD_NAMED(methods::copy, "__copy__", ""),
    VELTRIX_METHOD_NAMED(methods::deepcopy, "__deepcopy__", ", memo"),
    VELTRIX_METHOD_NAMED(methods::reduce, "__reduce__", ""),
    VELTRIX_METHOD_NAMED(methods::reduce_ex, "__reduce_ex__", ", protocol"),
    VELTRIX_METHOD_NAMED(methods::setstate, "__setstate__", ", state"),
    special_method("parse_square", methods::parse_square, "parse_square(name)\n--\n\n", METH_STATIC),
    special_method("square_name", methods::square_name, "square_name(pos)\n--\n\n", METH_STATIC),
    VELTRIX_METHOD_NAMED(methods::do_move_name, "do_move_name", ", name"),
    special_method("from_transcript", methods::from_transcript, "from_transcript($type, text)\n--\n\n", METH_CLASS),
    VELTRIX_METHOD_NAMED(methods::transform, "transform", ", k"),
    VELTRIX_METHOD_NAMED(methods::canonical, "canonical", ""),
    VELTRIX_METHOD_NAMED(methods::write_planes, "write_planes", ", buffer"),
    VELTRIX_METHOD_NAMED(methods::to_svg, "to_svg", ""),
    VELTRIX_METHOD_NAMED(methods::repr_svg, "_repr_svg_", ""),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kBoardSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(board_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_plain)},
    {Py_tp_str, reinterpret_cast<void*>(board_str)},
    {Py_tp_repr, reinterpret_cast<void*>(methods::repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(methods::richcompare)},
    // Mutable, so unhashable (__hash__ is None); get_board() is the hashable key.
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_methods, kBoardMethods},
    {Py_tp_doc, const_cast<char*>("Board()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kBoardSpec{"veltrix.Board", sizeof(BoardObject), 0, Py_TPFLAGS_DEFAULT, kBoardSlots};

}  // namespace

PyTypeObject* board_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr && py::type_once(type, kBoardSpec) != nullptr) type->tp_vectorcall = board_vectorcall;
    return type;
}

py::Ref new_board(const Board& value) {
    PyTypeObject* type = board_type();
    if (type == nullptr) py::throw_error_set();
    py::Ref object = py::require(type->tp_alloc(type, 0));
    as_board(object.get())->value = value;
    return object;
}

BoardObject* board_argument(PyObject* value, const char* name) {
    PyTypeObject* type = board_type();
    if (type == nullptr) py::throw_error_set();
    py::check_type(value, type, "Board", name);
    return as_board(value);
}

}  // namespace veltrix::board_py
