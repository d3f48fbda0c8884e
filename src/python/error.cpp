#include "python/error.hpp"

#include <cstdio>

namespace veltrix::py {

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
        const char* utf8 = PyUnicode_AsUTF8(rendered.get());
        if (utf8 != nullptr && *utf8 != '\0') text += std::string(": ") + utf8;
    }
    PyErr_Clear();  // a failure while rendering leaves nothing behind
    Py_DECREF(raised);
    return text;
}

void set_panic(const std::string& message) {
    PyErr_Clear();  // the fault replaces whatever the failing code left behind
    std::fprintf(stderr, "veltrix: internal fault: %s\n", message.c_str());
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (type != nullptr) PyErr_SetString(type, message.c_str());
}

}  // namespace veltrix::py
