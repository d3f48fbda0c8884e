// The last few empty squares of an exact solve with the disc-difference evaluator: no child
// lists, no table, no allocation; the empty squares travel in a small array ordered by parity.
//
// Scores follow the walk: a finished game scores the disc difference (empty squares count for
// nobody), a pass uses up one ply, and a line whose plies run out is scored where it stops.
// `depth` is the remaining depth (at least the number of empty squares, unless passes used up
// the slack); every value is a fail-soft bound as in the other searches.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "board/core.hpp"
#include "search/ray_flips.hpp"
#include "search/score.hpp"
#include "util/flatten.hpp"

namespace veltrix::search::endgame {

// The squares next to each square: a move there needs an opponent disc among them.
inline constexpr std::array<std::uint64_t, 64> kNeighbours = [] {
    std::array<std::uint64_t, 64> table{};
    for (int pos = 0; pos < 64; ++pos) {
        for (int dr = -1; dr <= 1; ++dr) {
            for (int dc = -1; dc <= 1; ++dc) {
                const int r = pos / 8 + dr;
                const int c = pos % 8 + dc;
                if ((dr != 0 || dc != 0) && r >= 0 && r < 8 && c >= 0 && c < 8) {
                    table[pos] |= 0x8000000000000000ULL >> (r * 8 + c);
                }
            }
        }
    }
    return table;
}();

// The four quadrants of the board, for parity ordering.
inline constexpr std::array<std::uint64_t, 4> kQuadrants = {0xF0F0F0F000000000ULL, 0x0F0F0F0F00000000ULL,
                                                            0x00000000F0F0F0F0ULL, 0x000000000F0F0F0FULL};

inline int disc_difference(std::uint64_t player, std::uint64_t opponent) {
    return std::popcount(player) - std::popcount(opponent);
}

// Flips along the rays from one square, without vector instructions.
struct RayFlips {
    static std::uint64_t at(unsigned square, std::uint64_t player, std::uint64_t opponent) {
        return ray_flips(square, player, opponent);
    }
};

// Discs the mover flips by playing `square`, zero when the move is not legal.
template <class Flips = RayFlips>
inline std::uint64_t flips_at(unsigned square, std::uint64_t player, std::uint64_t opponent) {
    if ((opponent & kNeighbours[square]) == 0) return 0;
    return Flips::at(square, player, opponent);
}

// The empty squares of `empty` (at most 8), those of quadrants holding an odd number of empty
// squares first: a region where the mover gets the last move tends to be worth more.
template <int N>
std::array<std::uint8_t, N> parity_order(std::uint64_t empty) {
    std::uint64_t odd = 0;
    for (const std::uint64_t q : kQuadrants) {
        if (std::popcount(empty & q) & 1) odd |= q;
    }
    std::array<std::uint8_t, N> squares{};
    int n = 0;
    for (std::uint64_t rest : {empty & odd, empty & ~odd}) {
        for (; rest != 0 && n < N; rest &= rest - 1) {
            squares[n++] = static_cast<std::uint8_t>(63 - std::countr_zero(rest));
        }
    }
    return squares;
}

// `Flips::at(square, player, opponent)` finds the flips of a move (see RayFlips).
template <class Flips = RayFlips>
class SmallSolver {
public:
    std::uint64_t nodes = 0;

    template <int N>
    VELTRIX_FLATTEN int solve(std::uint64_t player, std::uint64_t opponent, int alpha, int beta, int depth,
              const std::array<std::uint8_t, N>& squares) {
        ++nodes;
        if (depth == 0) return disc_difference(player, opponent);
        if constexpr (N == 1) {
            return last(player, opponent, depth, squares[0]);
        } else {
            int best = -kInfinity;
            bool moved = false;
            for (int i = 0; i < N; ++i) {
                const std::uint64_t f = flips_at<Flips>(squares[i], player, opponent);
                if (f == 0) continue;
                moved = true;
                const std::uint64_t m = board::square_bit(squares[i]);
                std::array<std::uint8_t, N - 1> rest{};
                for (int j = 0, k = 0; j < N; ++j) {
                    if (j != i) rest[k++] = squares[j];
                }
                const int v = -solve<N - 1>(opponent ^ f, player ^ (m | f), -beta, -alpha, depth - 1, rest);
                if (v > best) {
                    best = v;
                    if (v >= beta) return v;
                    if (v > alpha) alpha = v;
                }
            }
            if (moved) return best;
            for (int i = 0; i < N; ++i) {
                if (flips_at<Flips>(squares[i], opponent, player) != 0) {
                    // A pass: one ply, and the value of the passed position as it is.
                    if (depth == 1) return disc_difference(player, opponent);
                    return -solve<N>(opponent, player, -beta, -alpha, depth - 1, squares);
                }
            }
            return disc_difference(player, opponent);  // nobody can move: the game is over
        }
    }

private:
    // One empty square left; `depth` >= 1.
    VELTRIX_FLATTEN int last(std::uint64_t player, std::uint64_t opponent, int depth, unsigned square) {
        const int diff = disc_difference(player, opponent);
        std::uint64_t f = flips_at<Flips>(square, player, opponent);
        if (f != 0) return diff + 1 + 2 * std::popcount(f);
        f = flips_at<Flips>(square, opponent, player);
        // Nobody can move, or the pass uses up the last ply: scored as it stands.
        if (f == 0 || depth == 1) return diff;
        ++nodes;
        return diff - 1 - 2 * std::popcount(f);
    }
};

}  // namespace veltrix::search::endgame
