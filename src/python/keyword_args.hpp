// Argument parsing for methods with keyword-only options: required arguments, given by
// position or by keyword, followed by optional ones given by keyword only. The mistakes are
// worded as parse_args words them.
#pragma once

#include "python/error.hpp"

#include <array>
#include <initializer_list>

namespace veltrix::py {

struct KeywordSignature {
    const char* qualname;                          // as "Arena.play"
    std::initializer_list<const char*> required;   // positional or keyword, in order
    std::initializer_list<const char*> keywords;   // keyword only, each optional
};

// Fills `out` (required slots first, then one per keyword-only name; null when not given)
// with borrowed references, or throws with TypeError set.
void parse_keyword_args(const KeywordSignature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        PyObject** out);

template <std::size_t N>
std::array<PyObject*, N> parse_keywords(const KeywordSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    std::array<PyObject*, N> out{};
    parse_keyword_args(signature, args, nargs, kwnames, out.data());
    return out;
}

}  // namespace veltrix::py
