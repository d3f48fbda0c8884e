// Reproducible positions for the search benchmark and cross-check programs.
#pragma once

#include <cstdint>
#include <random>

#include "board/core.hpp"

namespace veltrix::bench {

// The position after `plies` moves (passes included) drawn from `rng`, or the finished game.
inline board::Board random_position(std::mt19937_64& rng, int plies) {
    board::Board b;
    for (int ply = 0; ply < plies && !b.is_game_over(); ++ply) {
        std::uint64_t moves = b.get_legal_moves();
        if (moves == 0) {
            b = b.after_pass();
            continue;
        }
        // A plain remainder keeps the sequence the same on every standard library.
        for (std::uint64_t skip = rng() % static_cast<std::uint64_t>(std::popcount(moves)); skip > 0; --skip) {
            moves &= moves - 1;
        }
        b = b.after_move(63U - static_cast<unsigned>(std::countr_zero(moves)));
    }
    return b;
}

}  // namespace veltrix::bench
