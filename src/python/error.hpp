// How failures cross the boundary: a C++ exception that means "a Python error is set",
// internal faults that become PanicException, and the guard around every entry point.
#pragma once

#include "python/ref.hpp"

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

namespace veltrix::py {

// Thrown after a Python exception has been set; the guard returns the error value.
struct ErrorAlreadySet {};

// A condition the bindings treat as impossible, or a failure they do not recover from.
class InternalFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void throw_error_set() { throw ErrorAlreadySet{}; }

// Checks the result of a C-API call that returns a new reference (null: error set).
inline Ref require(PyObject* new_reference) {
    if (new_reference == nullptr) throw_error_set();
    return Ref::steal(new_reference);
}

// Checks the status of a C-API call that returns -1 on error.
inline void require_status(int status) {
    if (status < 0) throw_error_set();
}

[[noreturn]] void raise(PyObject* exception_type, const char* message);
[[noreturn]] inline void raise_value_error(const char* message) { raise(PyExc_ValueError, message); }

// The PanicException class, created once per process (null with an error set on failure).
PyObject* panic_exception_type();

// Fetches and clears the pending Python error as "TypeName: message" (for fault texts). A
// PanicException's message is shown through cap_fault_nesting.
std::string take_error_text();

// A fault message with at most a few levels of wrapped veltrix faults: the outer levels and
// the innermost fault are kept, the levels between them counted ("[N nested faults omitted] ").
std::string cap_fault_nesting(std::string_view message);

// Ends the current call with PanicException(message), writing a description to stderr.
void set_panic(const std::string& message);

// Runs an entry point's body; any failure becomes `error_value` with a Python error set.
template <class Body, class R = decltype(std::declval<Body>()())>
R guarded(R error_value, Body&& body) noexcept {
    try {
        return body();
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) set_panic("an error was reported without an exception set");
    } catch (const std::exception& fault) {
        set_panic(fault.what());
    } catch (...) {
        set_panic("unknown internal fault");
    }
    return error_value;
}

// The common case: entry points that return a new reference or null.
template <class Body>
PyObject* guarded_object(Body&& body) noexcept {
    return guarded<Body, PyObject*>(nullptr, std::forward<Body>(body));
}

}  // namespace veltrix::py
