// The Python classes of the network arena, for the module's registration table.
#pragma once

#include "python/ref.hpp"

namespace veltrix::arena_py {

// The types, created once per process (null with an error set on failure).
PyTypeObject* network_client_type();
PyTypeObject* network_server_type();

}  // namespace veltrix::arena_py
