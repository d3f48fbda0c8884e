// The move generator and flip routine chosen once, when the module is loaded: the AVX2 path
// where the processor has it (x86-64 only), the portable one elsewhere or when the
// environment variable VELTRIX_PORTABLE is set to anything but "" or "0".
//
// Hot loops do not test the choice per call: they are compiled once per path (see
// board/moves_avx2.hpp) and the choice is made once per search or per benchmark run.
#pragma once

#include <cstdint>

#include "board/simd_target.hpp"

namespace veltrix::board {

namespace detail {
// Set by a static initializer of board/dispatch.cpp; false (portable) until it has run.
extern const bool g_avx2_selected;
}  // namespace detail

// Whether the AVX2 path is in use in this process.
inline bool avx2_selected() {
#if VELTRIX_AVX2_PATH
    return detail::g_avx2_selected;
#else
    return false;
#endif
}

// Whether this processor can run the AVX2 path (always false off x86-64).
bool cpu_has_avx2_path();
// Whether VELTRIX_PORTABLE asks for the portable path.
bool portable_path_forced();

#if VELTRIX_AVX2_PATH
namespace avx2 {
// Out-of-line entries into the AVX2 path, for callers that are compiled generically; they
// must only run where cpu_has_avx2_path() holds.
std::uint64_t call_legal_moves(std::uint64_t player, std::uint64_t opponent);
std::uint64_t call_flips_at(unsigned pos, std::uint64_t player, std::uint64_t opponent);
}  // namespace avx2
#endif

}  // namespace veltrix::board
