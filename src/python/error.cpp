#include "python/error.hpp"

#include <charconv>
#include <cstdio>
#include <string_view>
#include <vector>

namespace veltrix::py {

namespace {

// How a fault that wraps another veltrix fault shows it ("...: PanicException: ...").
constexpr std::string_view kNestedFault = "PanicException: ";
// Wrapping levels kept in a message; deeper ones are counted, not repeated. A Python evaluator
// that searches from inside its own search nests a level per call until the interpreter's
// recursion limit: without a cap the message grows with every level.
constexpr std::size_t kShownNesting = 3;
constexpr std::string_view kOmittedEnd = " nested faults omitted] ";

struct Omitted {
    std::size_t count = 0;
    std::string_view rest;
};

// Reads the "[N nested faults omitted] " that an earlier cap put before the innermost fault.
Omitted read_omitted(std::string_view piece) {
    if (!piece.starts_with('[')) return {0, piece};
    std::size_t count = 0;
    const char* end = piece.data() + piece.size();
    const auto [after, error] = std::from_chars(piece.data() + 1, end, count);
    const std::string_view tail(after, static_cast<std::size_t>(end - after));
    if (error != std::errc{} || !tail.starts_with(kOmittedEnd)) return {0, piece};
    return {count, tail.substr(kOmittedEnd.size())};
}

// Whether an earlier cap dropped levels of this message.
bool omits_levels(std::string_view message) {
    const std::size_t last = message.rfind(kNestedFault);
    return last != std::string_view::npos && read_omitted(message.substr(last + kNestedFault.size())).count > 0;
}

}  // namespace

std::string cap_fault_nesting(std::string_view message) {
    std::vector<std::string_view> pieces;
    std::string_view rest = message;
    for (std::size_t found = rest.find(kNestedFault); found != std::string_view::npos;
         found = rest.find(kNestedFault)) {
        pieces.push_back(rest.substr(0, found));
        rest.remove_prefix(found + kNestedFault.size());
    }
    pieces.push_back(rest);
    if (pieces.size() <= kShownNesting + 1) return std::string(message);
    // The outer levels say where the fault surfaced, the innermost what it was.
    const Omitted earlier = read_omitted(pieces.back());
    const std::size_t omitted = earlier.count + pieces.size() - 1 - kShownNesting;
    std::string text;
    for (std::size_t i = 0; i < kShownNesting; ++i) {
        text += pieces[i];
        text += kNestedFault;
    }
    text += '[' + std::to_string(omitted) + std::string(kOmittedEnd);
    text += earlier.rest;
    return text;
}

void raise(PyObject* exception_type, const char* message) {
    PyErr_SetString(exception_type, message);
    throw_error_set();
}

PyObject* panic_exception_type() {
    // Kept for the life of the process: the class must outlive every module object.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("veltrix.PanicException",
                                         "Raised when a call ends in an internal fault of veltrix.",
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

std::string take_error_text() {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) return "no Python error";
    std::string text = Py_TYPE(raised)->tp_name;
    Ref rendered = Ref::steal(PyObject_Str(raised));
    if (rendered) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(rendered.get(), &size);
        if (utf8 != nullptr && size > 0) {
            std::string_view message(utf8, static_cast<std::size_t>(size));
            PyObject* panic = panic_exception_type();
            const bool nested = panic != nullptr && PyObject_TypeCheck(raised, reinterpret_cast<PyTypeObject*>(panic));
            text += ": ";
            text += nested ? cap_fault_nesting(message) : std::string(message);
        }
    }
    PyErr_Clear();  // a failure while rendering leaves nothing behind
    Py_DECREF(raised);
    return text;
}

void set_panic(const std::string& message) {
    PyErr_Clear();  // the fault replaces whatever the failing code left behind
    // A fault nested deeper than a message shows was described by the levels inside it: one
    // line per level of a deep recursion would flood standard error.
    if (!omits_levels(message)) {
        std::fprintf(stderr, "veltrix: internal fault: %s\n", message.c_str());
        std::fflush(stderr);
    }
    PyObject* type = panic_exception_type();
    if (type != nullptr) PyErr_SetString(type, message.c_str());
}

}  // namespace veltrix::py
