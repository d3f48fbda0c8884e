// Instructions per call of the small board queries, for callgrind:
//   valgrind --tool=callgrind build/bench/board_ops_bench [calls]
// then read the inclusive cost of each measure_* function divided by the calls it prints.
// Without valgrind it prints nanoseconds per call (medians), which are noisy on a busy machine.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "search_positions.hpp"

using veltrix::board::Board;

namespace {

// The positions are drawn from every stage of a game, so the pass test meets both answers.
std::vector<Board> positions(std::size_t count) {
    std::mt19937_64 rng(12);
    std::vector<Board> boards;
    for (std::size_t i = 0; i < count; ++i) boards.push_back(veltrix::bench::random_position(rng, static_cast<int>(rng() % 64)));
    return boards;
}

// One call per function, as in the Python binding: inlined into a loop, the compiler may
// compile the pass test differently.
[[gnu::noinline]] bool game_over(const Board& b) { return b.is_game_over(); }

[[gnu::noinline]] std::size_t measure_is_game_over(const std::vector<Board>& boards) {
    std::size_t over = 0;
    for (const Board& b : boards) over += game_over(b) ? 1 : 0;
    return over;
}

[[gnu::noinline]] std::size_t measure_get_board_line(const std::vector<Board>& boards) {
    std::size_t size = 0;
    for (const Board& b : boards) size += b.get_board_line().value().size();
    return size;
}

template <class F>
double nanoseconds_per_call(F&& f, const std::vector<Board>& boards, std::size_t& sink) {
    std::vector<double> times;
    for (int run = 0; run < 7; ++run) {
        const auto start = std::chrono::steady_clock::now();
        sink += f(boards);
        times.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2] / static_cast<double>(boards.size());
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t calls = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    const std::vector<Board> boards = positions(calls);
    std::size_t sink = 0;
    const double over = nanoseconds_per_call(measure_is_game_over, boards, sink);
    const double line = nanoseconds_per_call(measure_get_board_line, boards, sink);
    std::printf("%zu positions, 7 runs each (callgrind: divide each measure_* cost by %zu)\n", calls, 7 * calls);
    std::printf("is_game_over    %7.1f ns/call (median)\n", over);
    std::printf("get_board_line  %7.1f ns/call (median)\n", line);
    std::printf("(checksum %zu)\n", sink);
    return 0;
}
