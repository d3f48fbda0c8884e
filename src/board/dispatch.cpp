// The choice between the AVX2 and the portable path, made once when the module is loaded.
#include "board/dispatch.hpp"

#include <cstdlib>
#include <cstring>

#include "board/moves_avx2.hpp"

#if VELTRIX_AVX2_PATH
#include <cpuid.h>
#endif

namespace veltrix::board {

bool cpu_has_avx2_path() {
#if VELTRIX_AVX2_PATH
    __builtin_cpu_init();  // static initializers may run before the compiler's own one
    // Not every compiler's __builtin_cpu_supports knows LZCNT: it is asked of the processor.
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    const bool lzcnt = __get_cpuid(0x80000001U, &eax, &ebx, &ecx, &edx) != 0 && (ecx & (1U << 5)) != 0;
    return lzcnt && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
#else
    return false;
#endif
}

bool portable_path_forced() {
    const char* value = std::getenv("VELTRIX_PORTABLE");
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

namespace detail {
const bool g_avx2_selected = cpu_has_avx2_path() && !portable_path_forced();
}  // namespace detail

#if VELTRIX_AVX2_PATH
VELTRIX_AVX2_BEGIN
namespace avx2 {

std::uint64_t call_legal_moves(std::uint64_t player, std::uint64_t opponent) { return legal_moves(player, opponent); }

std::uint64_t call_flips_at(unsigned pos, std::uint64_t player, std::uint64_t opponent) {
    return flips_at(pos, player, opponent);
}

}  // namespace avx2
VELTRIX_AVX2_END
#endif

}  // namespace veltrix::board
