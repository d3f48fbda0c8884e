#include "python/type.hpp"

namespace veltrix::py {

PyTypeObject* type_once(PyTypeObject*& cache, PyType_Spec& type_spec, PyTypeObject* base) {
    if (cache == nullptr) {
        // Like the interpreter's own classes, ours cannot be changed from Python (no
        // `Turn.BLACK = 5`, no replaced methods); Python subclasses stay ordinary classes.
        type_spec.flags |= Py_TPFLAGS_IMMUTABLETYPE;
        PyObject* type = PyType_FromSpecWithBases(&type_spec, reinterpret_cast<PyObject*>(base));
        cache = reinterpret_cast<PyTypeObject*>(type);  // stays null (error set) on failure
    }
    return cache;
}

void set_class_attribute(PyTypeObject* type, const char* name, Ref value) {
    // The type is immutable to Python, so its members go straight into its dict while it is
    // being built; the attribute cache is told afterwards.
    const Ref dict = require(PyType_GetDict(type));
    require_status(PyDict_SetItemString(dict.get(), name, value.get()));
    PyType_Modified(type);
}

void dealloc_plain(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

}  // namespace veltrix::py
