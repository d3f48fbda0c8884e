// The fast search against the reference walk on positions near the end of the game, where it
// solves exactly: random positions with a given range of empty squares, searched at depths
// around the number of empty squares (where passes decide whether lines are cut short) and
// beyond. Prints the first disagreement and exits 1; prints a summary line otherwise.
// Usage: endgame_check positions min_empties max_empties seed
#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <utility>
#include <vector>

#include "search/evaluator.hpp"
#include "search/fast_search.hpp"
#include "search/plain_search.hpp"
#include "search/ray_flips.hpp"

using namespace veltrix;

namespace {

// A random game from the start, stopped when `empties` squares are left (or when it ends).
board::Board random_position(std::mt19937_64& rng, int empties) {
    board::Board b;
    while (std::popcount(~(b.player | b.opponent)) > empties && !b.is_game_over()) {
        std::uint64_t moves = b.get_legal_moves();
        if (moves == 0) {
            b = b.after_pass();
            continue;
        }
        for (std::uint64_t skip = rng() % static_cast<std::uint64_t>(std::popcount(moves)); skip > 0; --skip) {
            moves &= moves - 1;
        }
        b = b.after_move(static_cast<unsigned>(std::countl_zero(moves & (~moves + 1))));
    }
    return b;
}

template <class Eval>
bool agrees(const board::Board& b, int depth, search::BuiltinEvaluator kind, const char* name) {
    search::NoNodeCount count;
    const auto walk = search::plain::get_move(Eval{}, b, static_cast<std::size_t>(depth), count);
    const auto fast = search::fast_get_move(b, static_cast<std::size_t>(depth), kind);
    if (walk == fast) return true;
    std::printf("MISMATCH %s depth %d: player 0x%016" PRIx64 " opponent 0x%016" PRIx64 " walk %d fast %d\n", name,
                depth, b.player, b.opponent, walk ? static_cast<int>(*walk) : -1, fast ? static_cast<int>(*fast) : -1);
    return false;
}

// The ray-by-ray flips of the solve against the board's own, on every empty square, both sides.
bool same_flips(const board::Board& b) {
    for (std::uint64_t empty = ~(b.player | b.opponent); empty != 0; empty &= empty - 1) {
        const unsigned pos = static_cast<unsigned>(std::countl_zero(empty & (~empty + 1)));
        for (const auto& [p, o] : {std::pair{b.player, b.opponent}, std::pair{b.opponent, b.player}}) {
            if (search::ray_flips(pos, p, o) != board::flips(board::square_bit(pos), p, o)) {
                std::printf("FLIPS differ at %u: player 0x%016" PRIx64 " opponent 0x%016" PRIx64 "\n", pos, p, o);
                return false;
            }
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: endgame_check positions min_empties max_empties seed\n");
        return 2;
    }
    const int positions = std::atoi(argv[1]);
    const int low = std::atoi(argv[2]);
    const int high = std::atoi(argv[3]);
    std::mt19937_64 rng(std::strtoull(argv[4], nullptr, 10));
    std::uint64_t checks = 0;
    std::uint64_t with_pass = 0;
    for (int i = 0; i < positions; ++i) {
        const int wanted = low + static_cast<int>(rng() % static_cast<std::uint64_t>(high - low + 1));
        board::Board b = random_position(rng, wanted);
        // Now and then the other side to move, which often makes the mover pass at once.
        if (i % 8 == 7) b = b.after_pass();
        if (b.is_pass()) ++with_pass;
        if (!same_flips(b)) return 1;
        const int empties = std::popcount(~(b.player | b.opponent));
        // Depths where the root's children have no slack, a little, and more than enough.
        std::vector<int> depths = {empties - 1, empties, empties + 1, empties + 2, 2 * empties};
        if (empties <= 10) depths.push_back(empties - 2);
        for (const int depth : depths) {
            if (depth < 0) continue;
            ++checks;
            if (!agrees<search::PieceEvaluator>(b, depth, search::BuiltinEvaluator::Piece, "piece")) return 1;
        }
        if (empties <= 10) {
            ++checks;
            if (!agrees<search::LegalNumEvaluator>(b, empties, search::BuiltinEvaluator::LegalNum, "legal_num")) {
                return 1;
            }
        }
    }
    std::printf("%" PRIu64 " choices agree on %d positions (%" PRIu64 " starting with a pass)\n", checks, positions,
                with_pass);
    return 0;
}
