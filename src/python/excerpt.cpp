#include "python/excerpt.hpp"

#include <string>

#include "python/error.hpp"
#include "util/excerpt.hpp"

namespace veltrix::py {

Ref repr_excerpt(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GetLength(text);
    if (length < 0) throw_error_set();
    if (static_cast<std::size_t>(length) <= kExcerptChars) return require(PyObject_Repr(text));
    const Ref head = require(PyUnicode_Substring(text, 0, static_cast<Py_ssize_t>(kExcerptChars)));
    const std::string note = cut_note(static_cast<std::size_t>(length));
    return require(PyUnicode_FromFormat("%R%s", head.get(), note.c_str()));
}

}  // namespace veltrix::py
