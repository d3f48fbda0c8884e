// Discs that can never be flipped again, found cheaply (a subset of the truly stable ones):
// a disc is stable when, along each of the four lines through it, the line is full, or the
// disc is on the border across that line, or a neighbour on that line is a stable disc of the
// same colour. Used for upper bounds in the exact solve.
#pragma once

#include <cstdint>

namespace veltrix::search {

namespace stability_detail {

template <int Shift>
constexpr std::uint64_t shifted(std::uint64_t x) {
    if constexpr (Shift > 0) return x << Shift;
    else return x >> -Shift;
}

// Squares reached from `seed` moving repeatedly by `Shift` bits; `open` excludes the squares
// that a step would reach by wrapping round the board's edge.
template <int Shift>
constexpr std::uint64_t spread(std::uint64_t seed, std::uint64_t open) {
    seed |= open & shifted<Shift>(seed);
    open &= shifted<Shift>(open);
    seed |= open & shifted<2 * Shift>(seed);
    open &= shifted<2 * Shift>(open);
    seed |= open & shifted<4 * Shift>(seed);
    return seed;
}

// Squares whose line along `Shift` holds no empty square.
template <int Shift>
constexpr std::uint64_t full_lines(std::uint64_t empty, std::uint64_t open_up, std::uint64_t open_down) {
    return ~(spread<Shift>(empty, open_up) | spread<-Shift>(empty, open_down));
}

inline constexpr std::uint64_t kColumnA = 0x8080808080808080ULL;  // the high bit of each row byte
inline constexpr std::uint64_t kColumnH = 0x0101010101010101ULL;
inline constexpr std::uint64_t kRow1 = 0xFF00000000000000ULL;
inline constexpr std::uint64_t kRow8 = 0x00000000000000FFULL;
inline constexpr std::uint64_t kBorder = kColumnA | kColumnH | kRow1 | kRow8;

}  // namespace stability_detail

// Stable discs of `discs` on a board where `filled` squares are occupied.
constexpr std::uint64_t stable_discs(std::uint64_t discs, std::uint64_t filled) {
    using namespace stability_detail;
    const std::uint64_t empty = ~filled;
    const std::uint64_t horizontal = full_lines<1>(empty, ~kColumnH, ~kColumnA) | kColumnA | kColumnH;
    const std::uint64_t vertical = full_lines<8>(empty, ~0ULL, ~0ULL) | kRow1 | kRow8;
    const std::uint64_t diagonal9 = full_lines<9>(empty, ~kColumnH, ~kColumnA) | kBorder;
    const std::uint64_t diagonal7 = full_lines<7>(empty, ~kColumnA, ~kColumnH) | kBorder;
    std::uint64_t stable = 0;
    for (int round = 0; round < 64; ++round) {
        const std::uint64_t next = discs & (horizontal | (stable << 1) | (stable >> 1)) &
                                   (vertical | (stable << 8) | (stable >> 8)) &
                                   (diagonal9 | (stable << 9) | (stable >> 9)) &
                                   (diagonal7 | (stable << 7) | (stable >> 7));
        if (next == stable) break;
        stable = next;
    }
    return stable;
}

}  // namespace veltrix::search
