// Perft from the start position: leaves per second (of thread processor time) of each native
// move generator, measured side by side in one run (runs interleaved, medians compared):
//   before    the shift-based generator and flips the engine had before (baseline_moves.hpp)
//   portable  the portable path (shift-based generator, ray-mask flips)
//   avx2      the AVX2 path, where this processor has it
// Usage: perft_bench [depth=10] [runs=5] [generator]; naming one generator runs it once
// (for callgrind: instructions per leaf = the run's instructions / its leaves).
// Exits 1 when the generators disagree or a count differs from the known one.
#include <algorithm>
#include <bit>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "baseline_moves.hpp"
#include "board/core.hpp"
#include "board/moves_avx2.hpp"

using veltrix::board::Board;

namespace {

// Leaves from the start position, passes counted as plies.
constexpr std::uint64_t kKnownCounts[] = {1,       4,        12,        56,         244,         1396,
                                          8200,    55092,    390216,    3005288,    24571284,    212258800,
                                          1939886636ULL};

namespace generic {
#include "perft_walk.hpp"

struct Before {
    static std::uint64_t legal_moves(std::uint64_t p, std::uint64_t o) {
        return veltrix::bench::baseline::legal_moves(p, o);
    }
    static bool has_no_move(std::uint64_t p, std::uint64_t o) { return legal_moves(p, o) == 0; }
    static Board after_move(const Board& b, unsigned pos) {
        const std::uint64_t m = veltrix::board::square_bit(pos);
        const std::uint64_t f = veltrix::bench::baseline::flips(m, b.player, b.opponent);
        return Board{b.opponent ^ f, b.player ^ (m | f), veltrix::board::opposite(b.turn)};
    }
};

struct Portable {
    static std::uint64_t legal_moves(std::uint64_t p, std::uint64_t o) { return veltrix::board::portable::legal_moves(p, o); }
    static bool has_no_move(std::uint64_t p, std::uint64_t o) { return veltrix::board::portable::has_no_move(p, o); }
    static Board after_move(const Board& b, unsigned pos) { return veltrix::board::portable::after_move(b, pos); }
};
}  // namespace generic

#if VELTRIX_AVX2_PATH
VELTRIX_AVX2_BEGIN
namespace avx2_build {
#include "perft_walk.hpp"

struct Avx2 {
    static std::uint64_t legal_moves(std::uint64_t p, std::uint64_t o) { return veltrix::board::avx2::legal_moves(p, o); }
    static bool has_no_move(std::uint64_t p, std::uint64_t o) { return veltrix::board::avx2::has_no_move(p, o); }
    static Board after_move(const Board& b, unsigned pos) { return veltrix::board::avx2::after_move(b, pos); }
};

std::uint64_t perft_avx2(const Board& b, int depth) { return perft<Avx2>(b, depth); }
}  // namespace avx2_build
VELTRIX_AVX2_END
#endif

struct Generator {
    const char* name;
    std::uint64_t (*perft)(const Board&, int);
    std::vector<double> rates{};
    std::uint64_t leaves = 0;
};

std::vector<Generator> generators() {
    std::vector<Generator> list{{"before", generic::perft<generic::Before>},
                                {"portable", generic::perft<generic::Portable>}};
#if VELTRIX_AVX2_PATH
    if (veltrix::board::cpu_has_avx2_path()) list.push_back({"avx2", avx2_build::perft_avx2});
#endif
    return list;
}

// Processor time of this thread: on a shared machine, time spent waiting for a processor is
// not the generator's.
double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int depth = argc > 1 ? std::atoi(argv[1]) : 10;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    std::vector<Generator> list = generators();
    if (argc > 3) {
        std::erase_if(list, [&](const Generator& g) { return std::strcmp(g.name, argv[3]) != 0; });
        if (list.empty()) {
            std::fprintf(stderr, "unknown or unavailable generator: %s\n", argv[3]);
            return 2;
        }
    }
    for (int run = 0; run < runs; ++run) {
        for (Generator& g : list) {
            const double start = cpu_seconds();
            g.leaves = g.perft(Board{}, depth);
            const double seconds = cpu_seconds() - start;
            g.rates.push_back(static_cast<double>(g.leaves) / seconds);
        }
    }
    bool agree = true;
    for (const Generator& g : list) {
        std::printf("%-9s perft(%d) = %llu leaves; median %7.1f M leaves/s over %d runs (min %.1f, max %.1f)\n",
                    g.name, depth, static_cast<unsigned long long>(g.leaves), median(g.rates) / 1e6, runs,
                    *std::min_element(g.rates.begin(), g.rates.end()) / 1e6,
                    *std::max_element(g.rates.begin(), g.rates.end()) / 1e6);
        agree = agree && g.leaves == list.front().leaves;
        if (depth >= 0 && depth < static_cast<int>(std::size(kKnownCounts)) && g.leaves != kKnownCounts[depth]) {
            std::printf("  MISMATCH: the known count is %llu\n", static_cast<unsigned long long>(kKnownCounts[depth]));
            agree = false;
        }
    }
    for (std::size_t i = 1; i < list.size(); ++i) {
        std::printf("%s / %s: %.2fx\n", list[i].name, list[i - 1].name, median(list[i].rates) / median(list[i - 1].rates));
    }
    if (list.size() == 3) std::printf("avx2 / before: %.2fx\n", median(list[2].rates) / median(list[0].rates));
    return agree ? 0 : 1;
}
