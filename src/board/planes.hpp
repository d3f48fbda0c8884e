// The one-hot planes of a position written straight into a caller's bytes: 3 planes (player
// discs, opponent discs, empty squares) of 8 rows of 8 columns, one byte per square, 1 or 0.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace veltrix::board {

inline constexpr std::size_t kPlaneBytes = 3 * 8 * 8;

namespace detail {

// Row byte -> its eight squares as 0/1 bytes, column "a" (the byte's top bit) first.
inline constexpr std::array<std::array<std::uint8_t, 8>, 256> kRowBytes = [] {
    std::array<std::array<std::uint8_t, 8>, 256> table{};
    for (unsigned row = 0; row < 256; ++row) {
        for (unsigned column = 0; column < 8; ++column) {
            table[row][column] = static_cast<std::uint8_t>((row >> (7 - column)) & 1U);
        }
    }
    return table;
}();

}  // namespace detail

// Fills `out[0..192)`; the words must be disjoint (a sound position).
inline void write_planes(std::uint64_t player, std::uint64_t opponent, std::uint8_t* out) {
    const std::uint64_t words[3] = {player, opponent, ~(player | opponent)};
    for (const std::uint64_t word : words) {
        for (unsigned row = 0; row < 8; ++row) {
            const unsigned bits = static_cast<unsigned>(word >> (56 - 8 * row)) & 0xffU;
            std::memcpy(out, detail::kRowBytes[bits].data(), 8);
            out += 8;
        }
    }
}

}  // namespace veltrix::board
