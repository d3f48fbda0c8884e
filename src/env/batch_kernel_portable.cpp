// The batch's hot loops on the portable move generator.
#include <bit>
#include <cstring>

#include "board/core.hpp"
#include "board/planes.hpp"
#include "env/batch.hpp"

namespace veltrix::env::portable_kernel {

namespace movegen = board::portable;

// The `n`th lowest set bit of `mask` (n < popcount(mask)), as a one-bit mask.
inline std::uint64_t nth_set_bit(std::uint64_t mask, unsigned n) {
    for (; n > 0; --n) mask &= mask - 1;
    return mask & (0 - mask);
}

#include "env/batch_kernel.inc"

}  // namespace veltrix::env::portable_kernel
