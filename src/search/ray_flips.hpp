// Discs flipped by one move, found along the eight rays from its square: the first square on
// a ray that does not hold an opponent disc ends the run, and the run flips when that square
// holds a mover's disc. Cheaper than shifting whole boards when one square is asked about, as
// the exact solve does near the end.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace veltrix::search {

namespace ray_detail {

struct SquareRays {
    std::array<std::uint64_t, 4> up;    // rays whose squares lie on higher bits (nearest lowest)
    std::array<std::uint64_t, 4> down;  // rays whose squares lie on lower bits (nearest highest)
};

inline constexpr std::array<SquareRays, 64> kRays = [] {
    std::array<SquareRays, 64> rays{};
    constexpr int kSteps[8][2] = {{0, 1}, {1, -1}, {1, 0}, {1, 1}, {0, -1}, {-1, 1}, {-1, 0}, {-1, -1}};
    for (int pos = 0; pos < 64; ++pos) {
        int up = 0, down = 0;
        for (const auto& step : kSteps) {
            std::uint64_t ray = 0;
            for (int r = pos / 8 + step[0], c = pos % 8 + step[1]; r >= 0 && r < 8 && c >= 0 && c < 8;
                 r += step[0], c += step[1]) {
                ray |= 0x8000000000000000ULL >> (r * 8 + c);
            }
            // Square p is bit 63 - p: moving to a higher square index moves to a lower bit.
            const bool toward_lower_bits = step[0] * 8 + step[1] > 0;
            if (toward_lower_bits) rays[pos].down[down++] = ray;
            else rays[pos].up[up++] = ray;
        }
    }
    return rays;
}();

}  // namespace ray_detail

// Opponent discs flipped when the side owning `player` plays the empty square `pos`.
inline std::uint64_t ray_flips(unsigned pos, std::uint64_t player, std::uint64_t opponent) {
    const ray_detail::SquareRays& rays = ray_detail::kRays[pos];
    std::uint64_t flipped = 0;
    // Without branches: which runs flip is as good as random, so branches would mispredict.
    for (const std::uint64_t ray : rays.up) {
        const std::uint64_t stop = ray & ~opponent;
        const std::uint64_t first = stop & (~stop + 1);  // the nearest: lowest bit
        flipped |= ray & (first - 1) & (0 - static_cast<std::uint64_t>((first & player) != 0));
    }
    for (const std::uint64_t ray : rays.down) {
        const std::uint64_t stop = ray & ~opponent;
        // The nearest is the highest bit; `| 1` keeps the count defined when the ray has none.
        const std::uint64_t first = 0x8000000000000000ULL >> std::countl_zero(stop | 1);
        flipped |= ray & ~((first << 1) - 1) & (0 - static_cast<std::uint64_t>((first & player & stop) != 0));
    }
    return flipped;
}

}  // namespace veltrix::search
