// Search benchmark: nodes per second of the reference walk with the piece evaluator, and the
// time of the fast path against the reference walk in the same run (same moves required).
// Usage: search_bench [fast_depth] [plain_max_depth]
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "search_positions.hpp"
#include "search/evaluator.hpp"
#include "search/fast_search.hpp"
#include "search/plain_search.hpp"

using namespace veltrix;

namespace {

struct NodeCount {
    std::uint64_t nodes = 0;
    void node() { ++nodes; }
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The start position and midgame positions reached by fixed random games.
std::vector<board::Board> positions() {
    std::vector<board::Board> list{board::Board{}};
    std::mt19937_64 rng(7);
    for (const int plies : {16, 20, 24, 28}) list.push_back(bench::random_position(rng, plies));
    return list;
}

template <class Eval>
std::optional<unsigned> plain_move(const board::Board& b, std::size_t depth, std::uint64_t* nodes) {
    NodeCount count;
    const std::optional<unsigned> move = search::plain::get_move(Eval{}, b, depth, count);
    if (nodes != nullptr) *nodes = count.nodes;
    return move;
}

void plain_rates(const std::vector<board::Board>& list, int max_depth) {
    std::printf("reference walk, piece evaluator (a node is every position visited, leaves included)\n");
    for (int depth = 6; depth <= max_depth; ++depth) {
        std::uint64_t total = 0;
        double elapsed = 0;
        std::vector<double> rates;
        for (const board::Board& b : list) {
            std::uint64_t nodes = 0;
            const auto start = std::chrono::steady_clock::now();
            (void)plain_move<search::PieceEvaluator>(b, static_cast<std::size_t>(depth), &nodes);
            const double seconds = seconds_since(start);
            total += nodes;
            elapsed += seconds;
            rates.push_back(static_cast<double>(nodes) / seconds / 1e6);
        }
        std::sort(rates.begin(), rates.end());
        std::printf("  max_depth %d: %12" PRIu64 " nodes in %7.3f s = %6.1f M nodes/s (median position %.1f)\n", depth,
                    total, elapsed, static_cast<double>(total) / elapsed / 1e6, rates[rates.size() / 2]);
    }
}

template <class Eval>
void fast_against_plain(const std::vector<board::Board>& list, int depth, search::BuiltinEvaluator kind,
                        const char* name) {
    std::printf("max_depth %d, %s evaluator: fast path against the reference walk\n", depth, name);
    double plain_total = 0;
    double fast_total = 0;
    bool same = true;
    for (std::size_t i = 0; i < list.size(); ++i) {
        auto start = std::chrono::steady_clock::now();
        const std::optional<unsigned> plain = plain_move<Eval>(list[i], static_cast<std::size_t>(depth), nullptr);
        const double plain_seconds = seconds_since(start);
        std::vector<double> times;
        std::optional<unsigned> fast;
        std::uint64_t nodes = 0;
        for (int run = 0; run < 5; ++run) {
            start = std::chrono::steady_clock::now();
            fast = search::fast_get_move(list[i], static_cast<std::size_t>(depth), kind, &nodes);
            times.push_back(seconds_since(start));
        }
        std::sort(times.begin(), times.end());
        const double fast_seconds = times[times.size() / 2];
        same = same && plain == fast;
        plain_total += plain_seconds;
        fast_total += fast_seconds;
        std::printf("  position %zu: plain %8.3f s, fast %8.4f s (median of 5, %" PRIu64
                    " nodes), %6.1fx, moves %d / %d\n",
                    i, plain_seconds, fast_seconds, nodes, plain_seconds / fast_seconds, plain ? static_cast<int>(*plain) : -1,
                    fast ? static_cast<int>(*fast) : -1);
    }
    std::printf("  all positions: plain %.3f s, fast %.4f s, %.1fx; moves %s\n", plain_total, fast_total,
                plain_total / fast_total, same ? "identical" : "DIFFERENT");
}

}  // namespace

int main(int argc, char** argv) {
    const int fast_depth = argc > 1 ? std::atoi(argv[1]) : 10;
    const int plain_max_depth = argc > 2 ? std::atoi(argv[2]) : 9;
    const std::vector<board::Board> list = positions();
    plain_rates(list, plain_max_depth);
    fast_against_plain<search::PieceEvaluator>(list, fast_depth, search::BuiltinEvaluator::Piece, "piece");
    fast_against_plain<search::LegalNumEvaluator>(list, fast_depth - 2, search::BuiltinEvaluator::LegalNum,
                                                  "legal_num");
    return 0;
}
