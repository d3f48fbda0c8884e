// Cross-check of the move generators: the AVX2 path, the portable path and the previous
// shift-based generator (baseline_moves.hpp) agree on legal moves, the pass test and the
// discs flipped on every square, over random words (disjoint or sharing squares) and
// positions of random games. Exits 1 at the first difference. Usage: movegen_check [count]
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "baseline_moves.hpp"
#include "board/core.hpp"
#include "board/moves_avx2.hpp"
#include "search_positions.hpp"

using namespace veltrix;

namespace {

bool report(const char* what, std::uint64_t p, std::uint64_t o, int square, std::uint64_t expected,
            std::uint64_t got) {
    std::printf("MISMATCH %s: player %016" PRIx64 " opponent %016" PRIx64 " square %d: expected %016" PRIx64
                " got %016" PRIx64 "\n",
                what, p, o, square, expected, got);
    return false;
}

bool same_answers(std::uint64_t p, std::uint64_t o, bool avx2) {
    const std::uint64_t moves = bench::baseline::legal_moves(p, o);
    if (board::legal_moves(p, o) != moves) return report("portable legal_moves", p, o, -1, moves, board::legal_moves(p, o));
    if (board::has_no_move(p, o) != (moves == 0)) return report("portable has_no_move", p, o, -1, moves == 0, !(moves == 0));
#if VELTRIX_AVX2_PATH
    if (avx2 && board::avx2::call_legal_moves(p, o) != moves) {
        return report("avx2 legal_moves", p, o, -1, moves, board::avx2::call_legal_moves(p, o));
    }
#endif
    for (unsigned pos = 0; pos < 64; ++pos) {
        const std::uint64_t flips = bench::baseline::flips(board::square_bit(pos), p, o);
        if (board::flips_at(pos, p, o) != flips) return report("portable flips", p, o, static_cast<int>(pos), flips, board::flips_at(pos, p, o));
#if VELTRIX_AVX2_PATH
        if (avx2 && board::avx2::call_flips_at(pos, p, o) != flips) {
            return report("avx2 flips", p, o, static_cast<int>(pos), flips, board::avx2::call_flips_at(pos, p, o));
        }
#endif
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const long count = argc > 1 ? std::atol(argv[1]) : 200000;
    const bool avx2 = board::cpu_has_avx2_path();
    std::mt19937_64 rng(20261208);
    for (long i = 0; i < count; ++i) {
        std::uint64_t p = rng() & rng();
        std::uint64_t o = rng() & rng();
        if (i % 3 == 0) o &= ~p;
        if (i % 3 == 1) {
            const board::Board b = bench::random_position(rng, static_cast<int>(rng() % 61));
            p = b.player;
            o = b.opponent;
        }
        if (!same_answers(p, o, avx2) || !same_answers(o, p, avx2)) return 1;
    }
    std::printf("%ld positions: portable%s and the previous generator agree on moves and flips\n", count,
                avx2 ? ", avx2" : "");
    return 0;
}
