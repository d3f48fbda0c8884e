// The shift-based move generator and flip routine the engine used before the ray-mask flip
// and the AVX2 path, kept as a yardstick for the perft benchmark.
#pragma once

#include <cstdint>

namespace veltrix::bench::baseline {

inline constexpr std::uint64_t kNotEdgeColumns = 0x7e7e7e7e7e7e7e7eULL;

template <int Shift>
constexpr std::uint64_t shift(std::uint64_t x) {
    if constexpr (Shift > 0) return x << Shift;
    else return x >> -Shift;
}

template <int Shift>
constexpr std::uint64_t direction_moves(std::uint64_t player, std::uint64_t mask) {
    std::uint64_t t = shift<Shift>(player) & mask;
    t |= shift<Shift>(t) & mask;
    const std::uint64_t q = mask & shift<Shift>(mask);
    t |= q & shift<2 * Shift>(t);
    t |= q & shift<2 * Shift>(t);
    return shift<Shift>(t);
}

template <int Shift>
constexpr std::uint64_t direction_flips(std::uint64_t move, std::uint64_t player, std::uint64_t opponent,
                                        std::uint64_t run_mask) {
    std::uint64_t run = shift<Shift>(move) & run_mask;
    run |= shift<Shift>(run) & run_mask;
    const std::uint64_t q = run_mask & shift<Shift>(run_mask);
    run |= q & shift<2 * Shift>(run);
    run |= q & shift<2 * Shift>(run);
    const std::uint64_t closed = shift<Shift>(run) & player & ~opponent;
    return closed != 0 ? run : 0;
}

constexpr std::uint64_t legal_moves(std::uint64_t player, std::uint64_t opponent) {
    const std::uint64_t side = opponent & kNotEdgeColumns;
    const std::uint64_t moves = direction_moves<1>(player, side) | direction_moves<-1>(player, side) |
                                direction_moves<8>(player, opponent) | direction_moves<-8>(player, opponent) |
                                direction_moves<7>(player, side) | direction_moves<-7>(player, side) |
                                direction_moves<9>(player, side) | direction_moves<-9>(player, side);
    return moves & ~(player | opponent);
}

constexpr std::uint64_t flips(std::uint64_t move, std::uint64_t player, std::uint64_t opponent) {
    const std::uint64_t side = opponent & kNotEdgeColumns;
    return direction_flips<1>(move, player, opponent, side) | direction_flips<-1>(move, player, opponent, side) |
           direction_flips<8>(move, player, opponent, opponent) |
           direction_flips<-8>(move, player, opponent, opponent) |
           direction_flips<7>(move, player, opponent, side) | direction_flips<-7>(move, player, opponent, side) |
           direction_flips<9>(move, player, opponent, side) | direction_flips<-9>(move, player, opponent, side);
}

}  // namespace veltrix::bench::baseline
