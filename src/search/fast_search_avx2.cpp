// The fast search compiled for the AVX2 path (see the top of fast_search.cpp); it is only
// entered where board::avx2_selected() holds.
#include "board/simd_target.hpp"

#if VELTRIX_AVX2_PATH
#define VELTRIX_FAST_SEARCH_AVX2
#include "search/fast_search.cpp"
#endif
