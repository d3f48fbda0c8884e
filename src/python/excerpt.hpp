// The repr of a str argument for an error message, cut as util/excerpt.hpp says.
#pragma once

#include "python/ref.hpp"

namespace veltrix::py {

// repr(text) when it is short; repr of its first few dozen characters and a note of the
// whole length otherwise. `text` is a str. Throws ErrorAlreadySet on failure.
Ref repr_excerpt(PyObject* text);

}  // namespace veltrix::py
