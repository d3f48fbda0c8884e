// Game records as Python values: the struct sequence reached as Arena.GameRecord.
#pragma once

#include <vector>

#include "arena/match/record.hpp"
#include "python/ref.hpp"

namespace veltrix::arena_py {

// The record type, created once per process (null with an error set on failure).
PyTypeObject* game_record_type();

// A list of records, in the order given.
py::Ref record_list(const std::vector<arena::GameRecord>& records);

}  // namespace veltrix::arena_py
