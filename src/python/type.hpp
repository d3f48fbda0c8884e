// Heap types created once per process, and the helpers every class file shares.
#pragma once

#include "python/error.hpp"

namespace veltrix::py {

// Returns the type built from `spec` (and `base`, if any), creating it on first use. The type
// is kept for the life of the process. Null with an error set when creation fails.
PyTypeObject* type_once(PyTypeObject*& cache, PyType_Spec& spec, PyTypeObject* base = nullptr);

// Sets a class attribute (an enum member, say) on a freshly created type.
void set_class_attribute(PyTypeObject* type, const char* name, Ref value);

// Deallocator for heap types whose instances hold only plain native data (no references).
void dealloc_plain(PyObject* self);

// tp_new that refuses construction from Python.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace veltrix::py
