// The AVX2 move generator and flip routine: the eight directions as two vectors of four
// 64-bit lanes. Same answers as the portable functions of board/core.hpp on every input.
//
// Everything here is compiled for AVX2 and must run only where board::avx2_selected() (or
// cpu_has_avx2_path()) holds. Code that wants these inlined is compiled in an AVX2 region
// itself (see search/fast_search_avx2.cpp); other code goes through board/dispatch.hpp.
#pragma once

#include "board/simd_target.hpp"

#if VELTRIX_AVX2_PATH

#include <immintrin.h>

#include <cstdint>

#include "board/core.hpp"
#include "board/rays.hpp"

VELTRIX_AVX2_BEGIN

namespace veltrix::board::avx2 {

namespace detail {

// Shift of each lane, matching kRayShifts, and its double and quadruple.
inline __m256i shifts(int times) {
    return _mm256_set_epi64x(9 * times, 7 * times, 8 * times, 1 * times);
}

inline std::uint64_t or_lanes(__m256i v) {
    __m128i x = _mm_or_si128(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    x = _mm_or_si128(x, _mm_unpackhi_epi64(x, x));
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(x));
}

}  // namespace detail

inline std::uint64_t legal_moves(std::uint64_t player, std::uint64_t opponent) {
    const __m256i s1 = detail::shifts(1);
    const __m256i s2 = detail::shifts(2);
    const std::uint64_t side = opponent & board::detail::kNotEdgeColumns;
    // Only vertical runs may use the edge columns.
    const __m256i mask = _mm256_set_epi64x(static_cast<long long>(side), static_cast<long long>(side),
                                           static_cast<long long>(opponent), static_cast<long long>(side));
    const __m256i p = _mm256_set1_epi64x(static_cast<long long>(player));

    __m256i up = _mm256_and_si256(_mm256_sllv_epi64(p, s1), mask);
    __m256i down = _mm256_and_si256(_mm256_srlv_epi64(p, s1), mask);
    up = _mm256_or_si256(up, _mm256_and_si256(_mm256_sllv_epi64(up, s1), mask));
    down = _mm256_or_si256(down, _mm256_and_si256(_mm256_srlv_epi64(down, s1), mask));
    const __m256i up_pairs = _mm256_and_si256(mask, _mm256_sllv_epi64(mask, s1));
    const __m256i down_pairs = _mm256_srlv_epi64(up_pairs, s1);
    up = _mm256_or_si256(up, _mm256_and_si256(_mm256_sllv_epi64(up, s2), up_pairs));
    down = _mm256_or_si256(down, _mm256_and_si256(_mm256_srlv_epi64(down, s2), down_pairs));
    up = _mm256_or_si256(up, _mm256_and_si256(_mm256_sllv_epi64(up, s2), up_pairs));
    down = _mm256_or_si256(down, _mm256_and_si256(_mm256_srlv_epi64(down, s2), down_pairs));
    const __m256i moves = _mm256_or_si256(_mm256_sllv_epi64(up, s1), _mm256_srlv_epi64(down, s1));
    return detail::or_lanes(moves) & ~(player | opponent);
}

inline bool has_no_move(std::uint64_t player, std::uint64_t opponent) { return legal_moves(player, opponent) == 0; }

inline std::uint64_t flips_at(unsigned pos, std::uint64_t player, std::uint64_t opponent) {
    const SquareRays& rays = kRays[pos];
    const __m256i up = _mm256_load_si256(reinterpret_cast<const __m256i*>(rays.up.data()));
    const __m256i down = _mm256_load_si256(reinterpret_cast<const __m256i*>(rays.down.data()));
    const __m256i o = _mm256_set1_epi64x(static_cast<long long>(opponent));
    // A disc on both words is an opponent disc that cannot close a run.
    const __m256i p = _mm256_set1_epi64x(static_cast<long long>(player & ~opponent));
    const __m256i zero = _mm256_setzero_si256();

    // Towards the high bits: negating the ray's non-opponent squares carries through the run
    // of opponent discs from the move onto the first square past it.
    __m256i outflank = _mm256_and_si256(_mm256_sub_epi64(zero, _mm256_andnot_si256(o, up)), _mm256_and_si256(up, p));
    __m256i flipped_up = _mm256_and_si256(_mm256_add_epi64(outflank, _mm256_set1_epi64x(-1)), up);
    flipped_up = _mm256_andnot_si256(_mm256_cmpeq_epi64(outflank, zero), flipped_up);

    // Towards the low bits: every ray square at or past the first non-opponent square is
    // found by smearing those squares along the ray; the run before them is closed when the
    // square just past it holds a player disc.
    const __m256i s1 = detail::shifts(1);
    const __m256i stops = _mm256_andnot_si256(o, down);
    __m256i beyond = _mm256_or_si256(stops, _mm256_srlv_epi64(stops, s1));
    beyond = _mm256_or_si256(beyond, _mm256_srlv_epi64(beyond, detail::shifts(2)));
    beyond = _mm256_or_si256(beyond, _mm256_srlv_epi64(beyond, detail::shifts(4)));
    __m256i flipped_down = _mm256_andnot_si256(beyond, down);
    const __m256i closing = _mm256_and_si256(_mm256_srlv_epi64(flipped_down, s1), _mm256_and_si256(stops, p));
    flipped_down = _mm256_andnot_si256(_mm256_cmpeq_epi64(closing, zero), flipped_down);

    return detail::or_lanes(_mm256_or_si256(flipped_up, flipped_down));
}

inline std::uint64_t flips(std::uint64_t move, std::uint64_t player, std::uint64_t opponent) {
    return flips_at(static_cast<unsigned>(_lzcnt_u64(move)), player, opponent);
}

inline Board after_move(const Board& b, unsigned pos) {
    const std::uint64_t m = square_bit(pos);
    const std::uint64_t f = flips_at(pos, b.player, b.opponent);
    return Board{b.opponent ^ f, b.player ^ (m | f), opposite(b.turn)};
}

}  // namespace veltrix::board::avx2

VELTRIX_AVX2_END

#endif
