// The owned-reference holder: every owned PyObject* in the bindings lives in a Ref.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace veltrix::py {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (the result of a C-API call that returns one).
    static Ref steal(PyObject* object) { return Ref(object); }
    // Adds a reference of its own to a borrowed pointer.
    static Ref new_ref(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    // Hands the reference to the caller (for example as a function's return value).
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace veltrix::py
