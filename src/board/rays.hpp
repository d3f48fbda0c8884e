// The eight rays from every square: the squares a line of discs can run along from a move.
#pragma once

#include <array>
#include <cstdint>

namespace veltrix::board {

// The rays of one square, four towards the word's high bits and four towards its low bits,
// in the lane order of the AVX2 path: lane i steps kRayShifts[i] bits at a time.
struct alignas(32) SquareRays {
    std::array<std::uint64_t, 4> up;    // towards lower squares (towards a1): -1, -8, -7, -9
    std::array<std::uint64_t, 4> down;  // towards higher squares (towards h8): +1, +8, +7, +9
};

inline constexpr std::array<int, 4> kRayShifts = {1, 8, 7, 9};

inline constexpr std::array<SquareRays, 64> kRays = [] {
    // Row and column steps of each lane; up lanes are the down lanes reversed.
    constexpr int kRowStep[4] = {0, 1, 1, 1};
    constexpr int kColStep[4] = {1, 0, -1, 1};
    std::array<SquareRays, 64> rays{};
    for (int pos = 0; pos < 64; ++pos) {
        for (int lane = 0; lane < 4; ++lane) {
            for (const int sign : {1, -1}) {
                std::uint64_t ray = 0;
                int row = pos / 8 + sign * kRowStep[lane];
                int col = pos % 8 + sign * kColStep[lane];
                for (; row >= 0 && row < 8 && col >= 0 && col < 8;
                     row += sign * kRowStep[lane], col += sign * kColStep[lane]) {
                    ray |= 0x8000000000000000ULL >> (row * 8 + col);
                }
                (sign > 0 ? rays[pos].down : rays[pos].up)[lane] = ray;
            }
        }
    }
    return rays;
}();

}  // namespace veltrix::board
