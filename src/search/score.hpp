// Bounds and sentinels shared by the search's parts.
#pragma once

#include <cstdint>

namespace veltrix::search {

// Beyond every score of the built-in evaluators (|score| <= 64): the window of a full search.
inline constexpr int kInfinity = 1000;
// A square index that is no square: no best move stored, no move to try first.
inline constexpr std::uint8_t kNoMove = 64;

}  // namespace veltrix::search
