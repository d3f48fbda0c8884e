// Exact endgames: the FFO test positions solved by the fast search with the disc-difference
// evaluator at depth empties + 2, with time, nodes and nodes per second beside the published
// best moves and scores (which give empty squares to the winner, so a move may differ where
// that award changes the order of the moves).
// Wall and processor time are both printed: the second is steadier on a shared machine.
// Usage: endgame_bench FILE [first] [last] [repeats]   (positions numbered as in the file)
#include <time.h>

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

// Processor time of this thread: on a shared, loaded machine it moves far less than wall time.
double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

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
    std::printf("| FFO | empties | depth | wall s | cpu s | nodes | M nodes/s (cpu) | move | published move |"
                " published score |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    double total = 0, total_cpu = 0;
    for (const Problem& p : read_problems(argv[1])) {
        if (p.number < first || p.number > last) continue;
        const int empties = std::popcount(~(p.board.player | p.board.opponent));
        const std::size_t depth = static_cast<std::size_t>(empties + 2);
        std::vector<double> times, cpu_times;
        std::uint64_t nodes = 0;
        std::optional<unsigned> move;
        for (int r = 0; r < repeats; ++r) {
            const auto start = std::chrono::steady_clock::now();
            const double cpu_start = cpu_seconds();
            move = search::fast_get_move(p.board, depth, search::BuiltinEvaluator::Piece, &nodes);
            cpu_times.push_back(cpu_seconds() - cpu_start);
            times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        std::sort(times.begin(), times.end());
        std::sort(cpu_times.begin(), cpu_times.end());
        const double t = times[times.size() / 2];
        const double cpu = cpu_times[cpu_times.size() / 2];
        total += t;
        total_cpu += cpu;
        const std::string name = move ? board::square_name(*move) : "pass";
        const bool right = std::find(p.moves.begin(), p.moves.end(), name) != p.moves.end();
        std::string published;
        for (const std::string& m : p.moves) published += (published.empty() ? "" : " ") + m;
        std::printf("| #%d | %d | %zu | %.3f | %.3f | %" PRIu64 " | %.1f | %s%s | %s | %s |\n", p.number, empties,
                    depth, t, cpu, nodes, static_cast<double>(nodes) / cpu / 1e6, name.c_str(),
                    right ? "" : " (differs)", published.c_str(), p.score.c_str());
        std::fflush(stdout);
    }
    std::printf("total: wall %.3f s, cpu %.3f s (medians of %d runs each)\n", total, total_cpu, repeats);
    return 0;
}
