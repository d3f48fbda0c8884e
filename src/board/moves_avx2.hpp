// The AVX2 move generator and flip routine: the eight directions as two vectors of four
// 64-bit lanes (the flips: seven rays in vectors, one on the scalar side alongside). Same
// answers as the portable functions of board/core.hpp on every input.
//
// Everything here is compiled for AVX2 and must run only where board::avx2_selected() (or
// cpu_has_avx2_path()) holds. Code that wants these inlined is compiled in an AVX2 region
// itself (see search/fast_search_avx2.cpp); other code goes through board/dispatch.hpp.
#pragma once

#include "board/simd_target.hpp"

#if VELTRIX_AVX2_PATH

#include <immintrin.h>

#include <array>
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

// Per square: nothing in lane 0, then the rays of lanes 1-3 towards the high bits from the
// square in the same column of the mirrored row.
alignas(32) inline constexpr std::array<std::array<std::uint64_t, 4>, 64> kMirroredDownRays = [] {
    std::array<std::array<std::uint64_t, 4>, 64> rays{};
    for (unsigned pos = 0; pos < 64; ++pos) {
        for (unsigned lane = 1; lane < 4; ++lane) rays[pos][lane] = kRays[pos ^ 56].up[lane];
    }
    return rays;
}();

}  // namespace detail

inline std::uint64_t legal_moves(std::uint64_t player, std::uint64_t opponent) {
    const __m256i s1 = detail::shifts(1);
    const __m256i s2 = detail::shifts(2);
    // Only vertical runs may use the edge columns.
    constexpr auto kSide = static_cast<long long>(board::detail::kNotEdgeColumns);
    const __m256i mask = _mm256_and_si256(_mm256_set1_epi64x(static_cast<long long>(opponent)),
                                          _mm256_set_epi64x(kSide, kSide, -1, kSide));
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
    // The vertical and diagonal rays towards the low bits, as rays towards the high bits from
    // the square mirrored across the middle row, on the board with its rows reversed.
    const __m256i mirrored = _mm256_load_si256(reinterpret_cast<const __m256i*>(detail::kMirroredDownRays[pos].data()));
    const std::uint64_t open = ~opponent;
    // A disc on both words is an opponent disc that cannot close a run.
    player &= open;
    const __m256i o = _mm256_set1_epi64x(static_cast<long long>(opponent));
    const __m256i p = _mm256_set1_epi64x(static_cast<long long>(player));
    const __m256i reverse_rows = _mm256_set_epi8(8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7,
                                                 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i o_r = _mm256_shuffle_epi8(o, reverse_rows);
    const __m256i p_r = _mm256_shuffle_epi8(p, reverse_rows);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i ones = _mm256_set1_epi64x(-1);

    // Towards the high bits: negating the ray's non-opponent squares carries through the run
    // of opponent discs from the move onto the first square past it.
    __m256i outflank = _mm256_and_si256(_mm256_sub_epi64(zero, _mm256_andnot_si256(o, up)), _mm256_and_si256(up, p));
    __m256i flipped = _mm256_and_si256(_mm256_add_epi64(outflank, ones), up);
    flipped = _mm256_andnot_si256(_mm256_cmpeq_epi64(outflank, zero), flipped);
    outflank = _mm256_and_si256(_mm256_sub_epi64(zero, _mm256_andnot_si256(o_r, mirrored)),
                                _mm256_and_si256(mirrored, p_r));
    __m256i flipped_r = _mm256_and_si256(_mm256_add_epi64(outflank, ones), mirrored);
    flipped_r = _mm256_andnot_si256(_mm256_cmpeq_epi64(outflank, zero), flipped_r);
    flipped = _mm256_or_si256(flipped, _mm256_shuffle_epi8(flipped_r, reverse_rows));

    // The horizontal ray towards the low bits, on the scalar side meanwhile.
    const std::uint64_t east = rays.down[0];
    return detail::or_lanes(flipped) | board::detail::down_ray_flips(east, east & open, player);
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
