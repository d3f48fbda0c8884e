// The batch's hot loops on the AVX2 move generator; entered only where board::avx2_selected()
// holds.
#include "board/simd_target.hpp"

#if VELTRIX_AVX2_PATH

#include <immintrin.h>

#include <bit>
#include <cstring>

#include "board/core.hpp"
#include "board/moves_avx2.hpp"
#include "board/planes.hpp"
#include "env/batch.hpp"

VELTRIX_AVX2_BEGIN

namespace veltrix::env::avx2_kernel {

namespace movegen = board::avx2;

// The `n`th lowest set bit of `mask` (n < popcount(mask)), as a one-bit mask: the same answer
// as the portable loop, in one instruction.
inline std::uint64_t nth_set_bit(std::uint64_t mask, unsigned n) { return _pdep_u64(std::uint64_t{1} << n, mask); }

#include "env/batch_kernel.inc"

}  // namespace veltrix::env::avx2_kernel

VELTRIX_AVX2_END

#endif
