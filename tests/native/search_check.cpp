// Cross-check: the fast search for the built-in evaluators chooses exactly the move of the
// reference walk, over many random positions and depths and near-finished positions searched
// to the end. Exits 1 at the first difference. Usage: search_check [positions] [max_depth]
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "search_positions.hpp"
#include "search/evaluator.hpp"
#include "search/fast_search.hpp"
#include "search/plain_search.hpp"

using namespace veltrix;

namespace {

template <class Eval>
bool same_choice(const board::Board& b, std::size_t depth, search::BuiltinEvaluator kind, const char* name) {
    search::NoNodeCount count;
    const std::optional<unsigned> plain = search::plain::get_move(Eval{}, b, depth, count);
    const std::optional<unsigned> fast = search::fast_get_move(b, depth, kind);
    if (plain == fast) return true;
    std::printf("MISMATCH %s depth %zu: player %016" PRIx64 " opponent %016" PRIx64 " plain %d fast %d\n", name,
                depth, b.player, b.opponent, plain ? static_cast<int>(*plain) : -1, fast ? static_cast<int>(*fast) : -1);
    return false;
}

bool check(const board::Board& b, std::size_t depth) {
    return same_choice<search::PieceEvaluator>(b, depth, search::BuiltinEvaluator::Piece, "piece") &&
           same_choice<search::LegalNumEvaluator>(b, depth, search::BuiltinEvaluator::LegalNum, "legal_num");
}

}  // namespace

int main(int argc, char** argv) {
    const int positions = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int max_depth = argc > 2 ? std::atoi(argv[2]) : 6;
    std::mt19937_64 rng(20240611);
    std::uint64_t checks = 0;
    for (int i = 0; i < positions; ++i) {
        const board::Board b = bench::random_position(rng, static_cast<int>(rng() % 58));
        // The deepest searches on a quarter of the positions keep the run short.
        const int deepest = i % 4 == 0 ? max_depth : max_depth - 1;
        for (int depth = 0; depth <= deepest; ++depth, ++checks) {
            if (!check(b, static_cast<std::size_t>(depth))) return 1;
        }
    }
    std::printf("random positions: %d, %" PRIu64 " choices agree (depths 0-%d)\n", positions, checks, max_depth);
    checks = 0;
    for (int i = 0; i < positions / 4; ++i) {
        const int empties = 1 + static_cast<int>(rng() % 12);
        const board::Board b = bench::random_position(rng, 60 - empties);
        const int left = std::popcount(~(b.player | b.opponent));
        for (const int depth : {left - 1, left, left + 1, 2 * left - 1, 2 * left, 2 * left + 3}) {
            if (depth < 0) continue;
            ++checks;
            if (!check(b, static_cast<std::size_t>(depth))) return 1;
        }
    }
    std::printf("near-finished positions: %d, %" PRIu64 " choices agree (depths around the end)\n", positions / 4,
                checks);
    return 0;
}
