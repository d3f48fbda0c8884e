// Exact endgames: the FFO test positions solved by the fast search with the disc-difference
// evaluator at depth empties + 2, with time, nodes and nodes per second beside the published
// best moves and scores (which give empty squares to the winner, so a move may differ where
// that award changes the order of the moves).
// Usage: endgame_bench FILE [first] [last] [repeats]   (positions numbered as in the file)
#include <algorithm>
#include <bit>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "board/notation.hpp"
#include "search/fast_search.hpp"

using namespace veltrix;

namespace {

struct Problem {
    int number = 0;
    board::Board board;
    std::string score;
    std::vector<std::string> moves;
};

std::vector<Problem> read_problems(const char* path) {
    std::vector<Problem> list;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        Problem p;
        std::string squares, side, discs;
        fields >> p.number >> squares >> side >> discs >> p.score;
        std::uint64_t black = 0, white = 0;
        for (unsigned pos = 0; pos < 64; ++pos) {
            if (squares[pos] == 'X') black |= board::square_bit(pos);
            if (squares[pos] == 'O') white |= board::square_bit(pos);
        }
        p.board = side == "X" ? board::Board{black, white, board::Turn::Black}
                              : board::Board{white, black, board::Turn::White};
        for (std::string move; fields >> move;) p.moves.push_back(move);
        list.push_back(p);
    }
    return list;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: endgame_bench FILE [first] [last] [repeats]\n");
        return 2;
    }
    const int first = argc > 2 ? std::atoi(argv[2]) : 40;
    const int last = argc > 3 ? std::atoi(argv[3]) : 59;
    const int repeats = argc > 4 ? std::atoi(argv[4]) : 1;
    std::printf("| FFO | empties | depth | time s (median of %d) | nodes | M nodes/s | move | published move | published score |\n",
                repeats);
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    double total = 0;
    for (const Problem& p : read_problems(argv[1])) {
        if (p.number < first || p.number > last) continue;
        const int empties = std::popcount(~(p.board.player | p.board.opponent));
        const std::size_t depth = static_cast<std::size_t>(empties + 2);
        std::vector<double> times;
        std::uint64_t nodes = 0;
        std::optional<unsigned> move;
        for (int r = 0; r < repeats; ++r) {
            const auto start = std::chrono::steady_clock::now();
            move = search::fast_get_move(p.board, depth, search::BuiltinEvaluator::Piece, &nodes);
            times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        std::sort(times.begin(), times.end());
        const double t = times[times.size() / 2];
        total += t;
        const std::string name = move ? board::square_name(*move) : "pass";
        const bool right = std::find(p.moves.begin(), p.moves.end(), name) != p.moves.end();
        std::string published;
        for (const std::string& m : p.moves) published += (published.empty() ? "" : " ") + m;
        std::printf("| #%d | %d | %zu | %.3f | %" PRIu64 " | %.1f | %s%s | %s | %s |\n", p.number, empties, depth, t,
                    nodes, static_cast<double>(nodes) / t / 1e6, name.c_str(), right ? "" : " (differs)",
                    published.c_str(), p.score.c_str());
        std::fflush(stdout);
    }
    std::printf("total %.3f s\n", total);
    return 0;
}
