// Game records as Python values: the struct sequence reached as Arena.GameRecord.
#pragma once

#include <string>
#include <vector>

#include "arena/match/record.hpp"
#include "python/ref.hpp"

namespace veltrix::arena_py {

// The record type, created once per process (null with an error set on failure).
PyTypeObject* game_record_type();

// A program's reply as Python text (bytes that are not UTF-8 kept as escapes).
py::Ref reply_text(const std::string& value);

// A list of records, in the order given.
py::Ref record_list(const std::vector<arena::GameRecord>& records);

}  // namespace veltrix::arena_py
