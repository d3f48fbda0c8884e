// Argument parsing for METH_FASTCALL | METH_KEYWORDS entry points, with the interpreter's
// own wording for every mistake, and the conversions the classes share.
#pragma once

#include "python/error.hpp"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace veltrix::py {

// Names the method (as "Board.do_move") and its arguments, all required, in order.
struct ArgSpec {
    const char* qualname;
    std::initializer_list<const char*> names;
};

// Fills `out` (one slot per name) with borrowed references or throws with TypeError set.
void parse_args(const ArgSpec& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out);

template <std::size_t N>
std::array<PyObject*, N> parse(const ArgSpec& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, N> out{};
    if (nargs == static_cast<Py_ssize_t>(N) && kwnames == nullptr) {
        for (std::size_t i = 0; i < N; ++i) out[i] = args[i];  // the common all-positional call
    } else {
        parse_args(signature, args, nargs, kwnames, out.data());
    }
    return out;
}

// The same for the tuple-and-dict form of tp_new.
void parse_tuple_args(const ArgSpec& signature, PyObject* args, PyObject* kwargs, PyObject** out);

// Conversions; `name` is the argument's name for "argument 'name': ..." messages. Integer
// range failures raise the interpreter's own OverflowError unchanged.
std::uint64_t to_u64(PyObject* value, const char* name);
std::size_t to_usize(PyObject* value, const char* name);
std::uint16_t to_u16(PyObject* value, const char* name);
std::u32string to_u32string(PyObject* value, const char* name);
std::string to_utf8(PyObject* value, const char* name);
std::vector<std::string> to_string_list(PyObject* value, const char* name);

// Checks that `value` is an instance of `type` (subclasses included).
void check_type(PyObject* value, PyTypeObject* type, const char* expected, const char* name);

// The plain class name of `value`'s type ("int", "Board").
std::string type_name(PyObject* value);

// Raises "argument 'name': " + message as TypeError.
[[noreturn]] void raise_argument_error(const char* name, const std::string& message);

}  // namespace veltrix::py
