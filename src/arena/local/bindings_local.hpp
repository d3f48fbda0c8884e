// The Python class Arena: matches between two local player programs.
#pragma once

#include "python/error.hpp"

namespace veltrix::arena_py {

// The type, created once per process (null with an error set on failure).
PyTypeObject* arena_type();

}  // namespace veltrix::arena_py
