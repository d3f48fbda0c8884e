// Board as a Python value: comparison, repr, pickling and copying, square names, transcripts
// and symmetries.
#include <cstdio>
#include <optional>
#include <string>

#include "board/bindings.hpp"
#include "board/bindings_methods.hpp"
#include "board/notation.hpp"
#include "board/symmetry.hpp"
#include "python/args.hpp"
#include "python/excerpt.hpp"

namespace veltrix::board_py::methods {

namespace {

using board::Board;

BoardObject* as_board(PyObject* self) { return reinterpret_cast<BoardObject*>(self); }

// A copy of the board held by `self`, read under a shared borrow.
Board read(PyObject* self) {
    BoardObject* object = as_board(self);
    const py::SharedBorrow borrow(object->borrow);
    return object->value;
}

// The text of code points [begin, begin + count) of `text` (clipped to its end) as a str.
py::Ref code_points(const std::u32string& text, std::size_t begin, std::size_t count) {
    const std::u32string part = text.substr(begin, count);
    return py::require(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, part.data(),
                                                 static_cast<Py_ssize_t>(part.size())));
}

// The square named by `text` ("a1".."h8", either case, nothing around it), or a ValueError
// that names the text.
unsigned square_argument(PyObject* text_arg, const char* name) {
    const std::u32string text = py::to_u32string(text_arg, name);
    std::optional<unsigned> pos;
    if (text.size() == 2 && text[0] < 0x80 && text[1] < 0x80) {
        pos = board::parse_square(std::string{static_cast<char>(text[0]), static_cast<char>(text[1])});
    }
    if (!pos) {
        const py::Ref quoted = py::repr_excerpt(text_arg);
        PyErr_Format(PyExc_ValueError, "Invalid square name: %U", quoted.get());
        py::throw_error_set();
    }
    return *pos;
}

// An int argument that must lie in [0, count): anything else, negative or huge included, is
// the ValueError `what` followed by the value.
unsigned small_index(PyObject* value, const char* name, long long count, const char* what) {
    py::Ref index;
    if (PyLong_Check(value)) {
        index = py::Ref::new_ref(value);
    } else {
        index = py::Ref::steal(PyNumber_Index(value));
        if (!index) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) py::throw_error_set();
            PyErr_Clear();
            py::raise_argument_error(name, "'" + py::type_name(value) + "' object cannot be interpreted as an integer");
        }
    }
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (number == -1 && PyErr_Occurred()) py::throw_error_set();
    if (overflow != 0 || number < 0 || number >= count) {
        PyErr_Format(PyExc_ValueError, "%s: %S", what, index.get());
        py::throw_error_set();
    }
    return static_cast<unsigned>(number);
}

// The one-line form of a board whose words overlap, which has no 64-character line.
py::Ref unsound_repr(const Board& b, PyObject* turn) {
    char words[64];
    std::snprintf(words, sizeof words, "player=0x%016llx opponent=0x%016llx",
                  static_cast<unsigned long long>(b.player), static_cast<unsigned long long>(b.opponent));
    return py::require(PyUnicode_FromFormat("<Board %s %R>", words, turn));
}

}  // namespace

// "==" and "!=" compare the three fields; anything else, and any other type, is NotImplemented.
PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    return py::guarded_object([&]() -> PyObject* {
        PyTypeObject* type = board_type();
        if (type == nullptr) py::throw_error_set();
        if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, type)) Py_RETURN_NOTIMPLEMENTED;
        const bool equal = read(self) == read(other);
        return py::Ref::new_ref((op == Py_EQ) == equal ? Py_True : Py_False).release();
    });
}

// <Board '<64-character line>' Turn.BLACK>: the class, the position and the side to move.
PyObject* repr(PyObject* self) {
    return py::guarded_object([&] {
        const Board b = read(self);
        const py::Ref turn = new_turn(b.turn);
        const auto line = b.get_board_line();
        if (!line) return unsound_repr(b, turn.get()).release();
        return py::require(PyUnicode_FromFormat("<Board '%s' %R>", line.value().c_str(), turn.get())).release();
    });
}

namespace {

// Board() followed by __setstate__((player_board, opponent_board, turn as 0 or 1)): plain
// ints only, so the pickle is small and loads under any Python that has veltrix.
py::Ref reduce_value(PyObject* self) {
    const Board b = read(self);
    const py::Ref player = py::require(PyLong_FromUnsignedLongLong(b.player));
    const py::Ref opponent = py::require(PyLong_FromUnsignedLongLong(b.opponent));
    const py::Ref turn = py::require(PyLong_FromLong(static_cast<long>(b.turn)));
    const py::Ref state = py::require(PyTuple_Pack(3, player.get(), opponent.get(), turn.get()));
    const py::Ref no_args = py::require(PyTuple_New(0));
    return py::require(PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), no_args.get(), state.get()));
}

}  // namespace

PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.__reduce__", {}};
    return py::guarded_object([&] {
        py::parse<0>(signature, args, nargs, kwnames);
        return reduce_value(self).release();
    });
}

// pickle asks for __reduce_ex__ first; answering it here spares the generic version's lookups.
// Every protocol gets the same answer.
PyObject* reduce_ex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.__reduce_ex__", {"protocol"}};
    return py::guarded_object([&] {
        py::parse<1>(signature, args, nargs, kwnames);
        return reduce_value(self).release();
    });
}

PyObject* setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.__setstate__", {"state"}};
    return py::guarded_object([&] {
        const auto [state] = py::parse<1>(signature, args, nargs, kwnames);
        if (!PyTuple_Check(state)) {
            py::raise_argument_error("state", "'" + py::type_name(state) +
                                                  "' object is not a tuple (player_board, opponent_board, turn)");
        }
        if (PyTuple_GET_SIZE(state) != 3) {
            py::raise_argument_error("state",
                                     "__setstate__ expects a tuple of 3 items (player bits, opponent bits, side to "
                                     "move), got " + std::to_string(PyTuple_GET_SIZE(state)));
        }
        const std::uint64_t player = py::to_u64(PyTuple_GET_ITEM(state, 0), "state");
        const std::uint64_t opponent = py::to_u64(PyTuple_GET_ITEM(state, 1), "state");
        const unsigned turn = small_index(PyTuple_GET_ITEM(state, 2), "state", 2, "Invalid turn in state");
        BoardObject* object = as_board(self);
        const py::ExclusiveBorrow borrow(object->borrow);
        object->value = Board{player, opponent, static_cast<board::Turn>(turn)};
        Py_RETURN_NONE;
    });
}

PyObject* copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.__copy__", {}};
    return py::guarded_object([&] {
        py::parse<0>(signature, args, nargs, kwnames);
        return new_board(read(self)).release();
    });
}

// A board holds no references, so a deep copy is a plain copy; `memo` is not needed.
PyObject* deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.__deepcopy__", {"memo"}};
    return py::guarded_object([&] {
        py::parse<1>(signature, args, nargs, kwnames);
        return new_board(read(self)).release();
    });
}

PyObject* parse_square(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.parse_square", {"name"}};
    return py::guarded_object([&] {
        const auto [name] = py::parse<1>(signature, args, nargs, kwnames);
        return py::require(PyLong_FromUnsignedLong(square_argument(name, "name"))).release();
    });
}

PyObject* square_name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.square_name", {"pos"}};
    return py::guarded_object([&] {
        const auto [pos_arg] = py::parse<1>(signature, args, nargs, kwnames);
        const std::size_t pos = py::to_usize(pos_arg, "pos");
        if (pos > 63) {
            PyErr_Format(PyExc_ValueError, "Invalid position: %zu", pos);
            py::throw_error_set();
        }
        const std::string name = board::square_name(static_cast<unsigned>(pos));
        return py::require(PyUnicode_FromStringAndSize(name.data(), 2)).release();
    });
}

// do_move by square name: an unknown name is refused like parse_square refuses it, an
// illegal move like do_move refuses it; either way the board is unchanged.
PyObject* do_move_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.do_move_name", {"name"}};
    return py::guarded_object([&] {
        const auto [name] = py::parse<1>(signature, args, nargs, kwnames);
        const unsigned pos = square_argument(name, "name");
        BoardObject* object = as_board(self);
        const py::ExclusiveBorrow borrow(object->borrow);
        if (!object->value.do_move(pos)) py::raise_value_error("Invalid move");
        Py_RETURN_NONE;
    });
}

PyObject* from_transcript(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.from_transcript", {"text"}};
    return py::guarded_object([&] {
        const auto [text_arg] = py::parse<1>(signature, args, nargs, kwnames);
        const std::u32string text = py::to_u32string(text_arg, "text");
        // Any code point outside ASCII becomes a byte no square name contains, so the move
        // that holds it is the unparsable one; the message quotes the original text.
        std::string ascii(text.size(), '\x01');
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] < 0x80) ascii[i] = static_cast<char>(text[i]);
        }
        const auto played = board::play_transcript(ascii);
        if (!played) {
            const board::TranscriptError& error = played.error();
            const py::Ref move = code_points(text, error.index * 2, 2);
            const char* kind = error.kind == board::TranscriptError::Kind::Illegal ? "Illegal" : "Unparsable";
            PyErr_Format(PyExc_ValueError, "%s move %R at index %zu of the transcript", kind, move.get(), error.index);
            py::throw_error_set();
        }
        return new_board(played.value()).release();
    });
}

PyObject* transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.transform", {"k"}};
    return py::guarded_object([&] {
        const auto [k_arg] = py::parse<1>(signature, args, nargs, kwnames);
        const unsigned k = small_index(k_arg, "k", board::kSymmetryCount, "Invalid symmetry (0 to 7)");
        return new_board(board::transform(read(self), k)).release();
    });
}

PyObject* canonical(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Board.canonical", {}};
    return py::guarded_object([&] {
        py::parse<0>(signature, args, nargs, kwnames);
        return new_board(board::canonical(read(self))).release();
    });
}

}  // namespace veltrix::board_py::methods
