#include "python/type.hpp"

namespace veltrix::py {

PyTypeObject* type_once(PyTypeObject*& cache, PyType_Spec& type_spec, PyTypeObject* base) {
    if (cache == nullptr) {
        PyObject* type = PyType_FromSpecWithBases(&type_spec, reinterpret_cast<PyObject*>(base));
        cache = reinterpret_cast<PyTypeObject*>(type);  // stays null (error set) on failure
    }
    return cache;
}

void set_class_attribute(PyTypeObject* type, const char* name, Ref value) {
    require_status(PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name, value.get()));
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
