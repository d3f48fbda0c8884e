// Heap types created once per process, and the helpers every class file shares.
#pragma once

#include "python/error.hpp"

namespace veltrix::py {

// Returns the type built from `type_spec` (and `base`, if any), creating it on first use. The type
// is immutable from Python and kept for the life of the process. Null with an error set when
// creation fails.
PyTypeObject* type_once(PyTypeObject*& cache, PyType_Spec& type_spec, PyTypeObject* base = nullptr);

// Sets a class attribute (an enum member, say) on a freshly created type; Python code cannot.
void set_class_attribute(PyTypeObject* type, const char* name, Ref value);

// Deallocator for heap types whose instances hold only plain native data (no references).
void dealloc_plain(PyObject* self);

// tp_new that refuses construction from Python.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// The C signature of every method entry point (METH_FASTCALL | METH_KEYWORDS).
using FastMethod = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// One method-table entry; `doc` is the text signature and nothing else.
inline PyMethodDef fast_method(const char* name, FastMethod function, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace veltrix::py

// A method-table entry for `function` under the Python name `name`, whose text signature lists
// `args` after $self (for example ", board"); the docstring is the signature alone.
#define VELTRIX_METHOD_NAMED(function, name, args) \
    ::veltrix::py::fast_method(name, function, name "($self" args ")\n--\n\n")
#define VELTRIX_METHOD(function, args) VELTRIX_METHOD_NAMED(function, #function, args)
