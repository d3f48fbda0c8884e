// The eight symmetries of the board (rotations and reflections of the square), for data
// augmentation, and the canonical image of a position, for de-duplication.
//
// Symmetry k maps the square at row r, column c (row 0 is "1", column 0 is "a", as the grid
// prints them) to:
//   0 identity                          (r, c)
//   1 rotation by 90 degrees clockwise   (c, 7 - r)      a1 -> h1
//   2 rotation by 180 degrees            (7 - r, 7 - c)  a1 -> h8
//   3 rotation by 90 degrees anticlockwise (7 - c, r)    a1 -> a8
//   4 mirror left-right (a <-> h)        (r, 7 - c)      a1 -> h1
//   5 mirror top-bottom (1 <-> 8)        (7 - r, c)      a1 -> a8
//   6 reflection in the a1-h8 diagonal   (c, r)          b1 -> a2
//   7 reflection in the a8-h1 diagonal   (7 - c, 7 - r)  a1 -> h8
// The side to move is kept. Rotations compose by adding their numbers modulo 4.
#pragma once

#include <cstdint>

#include "board/core.hpp"

namespace veltrix::board {

inline constexpr unsigned kSymmetryCount = 8;

namespace detail {

// Swaps the bits selected by `mask` with those `delta` places above them.
constexpr std::uint64_t delta_swap(std::uint64_t x, std::uint64_t mask, unsigned delta) {
    const std::uint64_t t = ((x >> delta) ^ x) & mask;
    return x ^ t ^ (t << delta);
}

}  // namespace detail

// Rows 1 <-> 8: each row is one byte of the word.
constexpr std::uint64_t mirror_rows(std::uint64_t x) {
    x = ((x >> 8) & 0x00ff00ff00ff00ffULL) | ((x & 0x00ff00ff00ff00ffULL) << 8);
    x = ((x >> 16) & 0x0000ffff0000ffffULL) | ((x & 0x0000ffff0000ffffULL) << 16);
    return (x >> 32) | (x << 32);
}

// Columns a <-> h: the bits of each byte reversed.
constexpr std::uint64_t mirror_columns(std::uint64_t x) {
    x = ((x >> 1) & 0x5555555555555555ULL) | ((x & 0x5555555555555555ULL) << 1);
    x = ((x >> 2) & 0x3333333333333333ULL) | ((x & 0x3333333333333333ULL) << 2);
    return ((x >> 4) & 0x0f0f0f0f0f0f0f0fULL) | ((x & 0x0f0f0f0f0f0f0f0fULL) << 4);
}

// Row and column exchanged, (r, c) -> (c, r); with square pos at bit 63 - pos this is the
// same three delta swaps as for a word whose bit 8 * row + column is the square.
constexpr std::uint64_t transpose(std::uint64_t x) {
    x = detail::delta_swap(x, 0x00AA00AA00AA00AAULL, 7);
    x = detail::delta_swap(x, 0x0000CCCC0000CCCCULL, 14);
    return detail::delta_swap(x, 0x00000000F0F0F0F0ULL, 28);
}

// The word `x` under symmetry `k` (0..7, see the table above).
constexpr std::uint64_t transform_word(std::uint64_t x, unsigned k) {
    switch (k) {
        case 1: return mirror_columns(transpose(x));
        case 2: return mirror_rows(mirror_columns(x));
        case 3: return mirror_rows(transpose(x));
        case 4: return mirror_columns(x);
        case 5: return mirror_rows(x);
        case 6: return transpose(x);
        case 7: return mirror_rows(mirror_columns(transpose(x)));
        default: return x;
    }
}

// The position under symmetry `k` (0..7); the side to move is unchanged.
constexpr Board transform(const Board& board, unsigned k) {
    return Board{transform_word(board.player, k), transform_word(board.opponent, k), board.turn};
}

// The symmetry whose image is the least of the eight, comparing (player, opponent) as
// unsigned 64-bit words, the player's word first; the lowest k among equal images.
unsigned canonical_symmetry(const Board& board);

// The least of the eight images (the same board for every position of one symmetry class).
Board canonical(const Board& board);

}  // namespace veltrix::board
