// Perft from the start position: leaves per second of the native move generator.
//
// A forced pass counts as a ply and a finished game as one leaf; the last ply is counted in
// bulk (the number of legal moves), as engines usually do.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "board/core.hpp"

using veltrix::board::Board;

namespace {

std::uint64_t perft(const Board& board, int depth) {
    if (depth == 0) return 1;
    std::uint64_t moves = board.get_legal_moves();
    if (moves == 0) {
        if (veltrix::board::has_no_move(board.opponent, board.player)) return 1;  // game over
        return perft(board.after_pass(), depth - 1);
    }
    if (depth == 1) return static_cast<std::uint64_t>(std::popcount(moves));
    std::uint64_t leaves = 0;
    for (; moves != 0; moves &= moves - 1) {
        const unsigned pos = 63U - static_cast<unsigned>(std::countr_zero(moves));
        leaves += perft(board.after_move(pos), depth - 1);
    }
    return leaves;
}

}  // namespace

int main(int argc, char** argv) {
    const int depth = argc > 1 ? std::atoi(argv[1]) : 9;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    std::vector<double> rates;
    std::uint64_t leaves = 0;
    for (int run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        leaves = perft(Board{}, depth);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        rates.push_back(static_cast<double>(leaves) / seconds);
    }
    std::sort(rates.begin(), rates.end());
    std::printf("perft(%d) = %llu leaves; median %.1f M leaves/s over %d runs (min %.1f, max %.1f)\n", depth,
                static_cast<unsigned long long>(leaves), rates[rates.size() / 2] / 1e6, runs, rates.front() / 1e6,
                rates.back() / 1e6);
    return 0;
}
