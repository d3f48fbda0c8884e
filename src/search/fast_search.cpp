// Negamax with alpha-beta, principal-variation null windows, a transposition table, move
// ordering, iterative deepening at the root and shortcuts at the last ply; with the
// disc-difference evaluator, an exact endgame solve once the depth reaches the last move.
#include "search/fast_search.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <type_traits>

#include "board/moves_avx2.hpp"
#include "search/endgame_small.hpp"
#include "search/evaluator.hpp"
#include "search/plain_search.hpp"
#include "search/ray_flips.hpp"
#include "search/stability.hpp"
#include "search/table.hpp"
#include "util/flatten.hpp"

// This file is compiled twice: on its own for the portable path, and from
// fast_search_avx2.cpp with VELTRIX_FAST_SEARCH_AVX2 defined, where everything below the
// includes is compiled for AVX2 with that path's move generator and flips inlined.
#ifdef VELTRIX_FAST_SEARCH_AVX2
VELTRIX_AVX2_BEGIN
#define VELTRIX_FAST_SEARCH_ENTRY fast_get_move_avx2
#else
#define VELTRIX_FAST_SEARCH_ENTRY fast_get_move
#endif

namespace veltrix::search {

#ifdef VELTRIX_FAST_SEARCH_AVX2
// Named apart so that the two copies' code is told apart, in symbols and listings too.
inline namespace avx2_copy {
#endif
namespace {

using board::Board;
#ifdef VELTRIX_FAST_SEARCH_AVX2
namespace movegen = board::avx2;
#else
namespace movegen = board::portable;
#endif

// The flips of one move in the exact solve: in vectors on the AVX2 path, along the rays from
// its square otherwise.
#ifdef VELTRIX_FAST_SEARCH_AVX2
struct SquareFlips {
    static std::uint64_t at(unsigned pos, std::uint64_t player, std::uint64_t opponent) {
        return movegen::flips_at(pos, player, opponent);
    }
};
#else
using SquareFlips = endgame::RayFlips;
#endif

// The evaluator's score, with this copy's own move generator for mobility (the evaluator's
// is the portable one, which the AVX2 copy would otherwise call at every leaf).
template <class Eval>
int leaf_score(const Board& b) {
    if constexpr (std::is_same_v<Eval, LegalNumEvaluator>) {
        return std::popcount(movegen::legal_moves(b.player, b.opponent));
    } else {
        return Eval::score(b);
    }
}

// Shallow iterations that order the root moves of an exact solve stop this many plies short
// of the end; solves of fewer empty squares do without them.
constexpr int kSolveLead = 12;
constexpr int kOrderedSolveFrom = 16;

// Scores for ordering the moves of an exact solve only: mobility (moves to corners counting
// double) and corners held.
struct MobilityEvaluator {
    static int score(const Board& b) {
        constexpr std::uint64_t kCorners = 0x8100000000000081ULL;
        const std::uint64_t mine = movegen::legal_moves(b.player, b.opponent);
        const std::uint64_t theirs = movegen::legal_moves(b.opponent, b.player);
        const int mobility = std::popcount(mine) + std::popcount(mine & kCorners) - std::popcount(theirs) -
                             std::popcount(theirs & kCorners);
        return mobility + 4 * (std::popcount(b.player & kCorners) - std::popcount(b.opponent & kCorners));
    }
};

// Past this many plies every line of any position ends first, so deeper searches are the same.
constexpr int kDepthCap = 2 * 64 + 2;

// Static square values for move ordering only (corners good, squares next to them bad).
constexpr std::array<int, 64> kSquareOrder = {
    18, 4,  16, 12, 12, 16, 4,  18,  //
    4,  2,  6,  8,  8,  6,  2,  4,   //
    16, 6,  14, 10, 10, 14, 6,  16,  //
    12, 8,  10, 0,  0,  10, 8,  12,  //
    12, 8,  10, 0,  0,  10, 8,  12,  //
    16, 6,  14, 10, 10, 14, 6,  16,  //
    4,  2,  6,  8,  8,  6,  2,  4,   //
    18, 4,  16, 12, 12, 16, 4,  18,  //
};

struct Child {
    Board board;
    int key;
    unsigned pos;
};

template <class Eval>
class FastSearch {
public:
    FastSearch(unsigned table_bits, const StopCheck& stop) : table_(table_bits), stop_(stop) {}

    std::uint64_t nodes() const { return nodes_ + small_.nodes; }

    // Fail-soft negamax value of `b` at `depth`: exact inside (alpha, beta), otherwise a
    // bound on the far side of the window it fell out of.
    VELTRIX_FLATTEN int search(const Board& b, int depth, int alpha, int beta) {
        if constexpr (std::is_same_v<Eval, PieceEvaluator>) {
            if (depth > 0 && depth >= std::popcount(~(b.player | b.opponent))) return solve(b, depth, alpha, beta);
        }
        visit();
        if (depth == 0) return leaf_score<Eval>(b);
        const std::uint64_t moves = movegen::legal_moves(b.player, b.opponent);
        if (moves == 0) {
            if (movegen::has_no_move(b.opponent, b.player)) return leaf_score<Eval>(b);  // game over
            return -search(b.after_pass(), depth - 1, -beta, -alpha);
        }
        if (depth == 1) return last_ply(b, moves, beta);

        const int empties = std::popcount(~(b.player | b.opponent));
        std::uint8_t key = static_cast<std::uint8_t>(depth);
        if constexpr (std::is_same_v<Eval, LegalNumEvaluator>) {
            // Every line reaches a finished game, where nobody can move.
            if (depth >= 2 * empties) return 0;
        }

        unsigned hint = kNoMove;
        if (const Entry* e = table_.find(b)) {
            if (e->depth == key) {
                if (e->lower >= beta) return e->lower;
                if (e->upper <= alpha) return e->upper;
                if (e->lower == e->upper) return e->lower;
            }
            hint = e->move;
        }

        std::array<Child, 64> children;
        const int count = order(b, moves, hint, depth, children);
        const auto [best, best_move] = principal_variation(children, count, depth, alpha, beta);
        table_.store(b, key, alpha, beta, best, best_move);
        return best;
    }

    // The reference root choice at `depth` plies below each move, trying `moves` in order.
    unsigned root(const Board& b, int depth, std::array<unsigned, 64>& moves, int count, bool probe_up = false) {
        probe_up_ = probe_up;
        int best = -kInfinity;
        int chosen_index = -1;
        for (int i = 0; i < count; ++i) {
            const unsigned pos = moves[i];
            const Board child = movegen::after_move(b, pos);
            if (chosen_index < 0) {
                best = -search(child, depth, -kInfinity, kInfinity);
                chosen_index = i;
                continue;
            }
            // A lower square wins a tie, so it only has to reach the best score.
            const int threshold = pos < moves[chosen_index] ? best - 1 : best;
            int v = -search(child, depth, -threshold - 1, -threshold);
            if (v > threshold) {
                // v is a lower bound of the new best. In an exact solve it is often the value
                // itself, which one more null window proves far more cheaply than a full one.
                if (probe_up_ && -search(child, depth, -v - 1, -v) <= v) {
                    best = v;
                } else {
                    best = -search(child, depth, -kInfinity, -threshold);
                }
                v = best;
                chosen_index = i;
            }
        }
        // The choice goes first in the next, deeper iteration.
        std::rotate(moves.begin(), moves.begin() + chosen_index, moves.begin() + chosen_index + 1);
        return moves[0];
    }

private:
    struct Outcome {
        int value;
        unsigned move;
    };

    // Counts a node and lets the caller stop the search every kPollInterval nodes.
    void visit() {
        ++nodes_;
        if (--until_poll_ == 0) {
            until_poll_ = kPollInterval;
            stop_();
        }
    }

    // Searches ordered children: the first with the full window, the others with a null
    // window first and again with the full one only when they beat the best so far.
    Outcome principal_variation(const std::array<Child, 64>& children, int count, int depth, int alpha, int beta) {
        int best = -kInfinity;
        unsigned best_move = children[0].pos;
        int a = alpha;
        for (int i = 0; i < count; ++i) {
            const Board& child = children[i].board;
            int v;
            if (i == 0) {
                v = -search(child, depth - 1, -beta, -a);
            } else {
                v = -search(child, depth - 1, -a - 1, -a);
                if (v > a && v < beta) v = -search(child, depth - 1, -beta, -a);
            }
            if (v > best) {
                best = v;
                best_move = children[i].pos;
                if (v > a) {
                    a = v;
                    if (a >= beta) break;
                }
            }
        }
        return {best, best_move};
    }

    // The exact solve with the disc-difference evaluator: `depth` is at least the number of
    // empty squares, so lines end in finished games unless passes use up the slack.
    VELTRIX_FLATTEN int solve(const Board& b, int depth, int alpha, int beta) {
        const std::uint64_t empty = ~(b.player | b.opponent);
        const int empties = std::popcount(empty);
        // Past twice the empty squares no line can be cut short (a pass is always followed by
        // a move), so the depth is the same as any larger one.
        depth = std::min(depth, 2 * empties);
        switch (empties) {
            case 0: return endgame::disc_difference(b.player, b.opponent);
            case 1: return small_.solve<1>(b.player, b.opponent, alpha, beta, depth, endgame::parity_order<1>(empty));
            case 2: return small_.solve<2>(b.player, b.opponent, alpha, beta, depth, endgame::parity_order<2>(empty));
            case 3: return small_.solve<3>(b.player, b.opponent, alpha, beta, depth, endgame::parity_order<3>(empty));
            case 4: return small_.solve<4>(b.player, b.opponent, alpha, beta, depth, endgame::parity_order<4>(empty));
            case 5: return small_.solve<5>(b.player, b.opponent, alpha, beta, depth, endgame::parity_order<5>(empty));
            default: break;
        }
        visit();
        const std::uint64_t moves = movegen::legal_moves(b.player, b.opponent);
        if (moves == 0) {
            if (movegen::has_no_move(b.opponent, b.player)) return endgame::disc_difference(b.player, b.opponent);
            // The pass costs a ply: search() solves on while the depth still covers every empty
            // square, and searches to the depth (scoring where lines stop) once it does not.
            return -search(b.after_pass(), depth - 1, -beta, -alpha);
        }
        // The opponent keeps its stable discs: the mover cannot lead by more than this.
        if (alpha >= kStabilityFrom) {
            const int upper = 64 - 2 * std::popcount(stable_discs(b.opponent, ~empty));
            if (upper <= alpha) return upper;
        }
        const std::uint8_t key = depth == 2 * empties ? kToTheEnd : static_cast<std::uint8_t>(depth);
        unsigned hint = kNoMove;
        const bool tabled = empties >= kTableFrom;
        if (tabled) {
            if (const Entry* e = table_.find(b)) {
                if (e->depth == key) {
                    if (e->lower >= beta) return e->lower;
                    if (e->upper <= alpha) return e->upper;
                    if (e->lower == e->upper) return e->lower;
                }
                hint = e->move;
            }
        }
        std::array<Child, 64> children;
        const int shallow = empties >= kShallowOrderFrom ? kShallowDepth : 0;
        const int count = fastest_first(b, moves, hint, empty, children, shallow);
        if (empties >= kLookAheadFrom) {
            // A child already known to be bad enough for the opponent settles this node.
            const int child_depth = depth - 1;
            const std::uint8_t child_key =
                child_depth >= 2 * (empties - 1) ? kToTheEnd : static_cast<std::uint8_t>(child_depth);
            for (int i = 0; i < count; ++i) {
                const Entry* e = table_.find(children[i].board);
                if (e != nullptr && e->depth == child_key && -e->upper >= beta) {
                    table_.store(b, key, alpha, beta, -e->upper, children[i].pos);
                    return -e->upper;
                }
            }
        }
        const auto [best, best_move] = principal_variation(children, count, depth, alpha, beta);
        if (tabled) table_.store(b, key, alpha, beta, best, best_move);
        return best;
    }

    // A small negamax over MobilityEvaluator, for ordering the moves of costly endgame nodes.
    VELTRIX_FLATTEN int mobility_search(const Board& b, int depth, int alpha, int beta) {
        ++nodes_;
        if (depth == 0) return MobilityEvaluator::score(b);
        std::uint64_t moves = movegen::legal_moves(b.player, b.opponent);
        if (moves == 0) {
            if (movegen::has_no_move(b.opponent, b.player)) return 4 * endgame::disc_difference(b.player, b.opponent);
            return -mobility_search(b.after_pass(), depth - 1, -beta, -alpha);
        }
        int best = -kInfinity;
        for (; moves != 0; moves &= moves - 1) {
            const unsigned pos = board::first_square(moves & (~moves + 1));
            const int v = -mobility_search(play(b, pos), depth - 1, -beta, -std::max(alpha, best));
            if (v > best && (best = v) >= beta) break;
        }
        return best;
    }

    // `b` after the legal move `pos`.
    static Board play(const Board& b, unsigned pos) {
        const std::uint64_t f = SquareFlips::at(pos, b.player, b.opponent);
        return Board{b.opponent ^ f, b.player ^ (board::square_bit(pos) | f), board::opposite(b.turn)};
    }

    // The squares next to `discs`.
    static std::uint64_t around(std::uint64_t discs) {
        const std::uint64_t row =
            discs | ((discs << 1) & ~0x0101010101010101ULL) | ((discs >> 1) & ~0x8080808080808080ULL);
        return row | (row << 8) | (row >> 8);
    }

    // Children of an endgame node, those that leave the opponent fewest replies first (the
    // table's move before all); corners count double among the replies.
    int fastest_first(const Board& b, std::uint64_t moves, unsigned hint, std::uint64_t empty,
                             std::array<Child, 64>& out, int shallow) {
        constexpr std::uint64_t kCorners = 0x8100000000000081ULL;
        std::uint64_t odd = 0;
        for (const std::uint64_t q : endgame::kQuadrants) {
            if (std::popcount(empty & q) & 1) odd |= q;
        }
        int count = 0;
        for (; moves != 0; ++count) {
            const unsigned pos = board::first_square(moves);
            const std::uint64_t m = board::square_bit(pos);
            moves ^= m;
            const Board child = play(b, pos);
            const std::uint64_t replies = movegen::legal_moves(child.player, child.opponent);
            const std::uint64_t open = ~(child.player | child.opponent);
            int key = -64 * (std::popcount(replies) + std::popcount(replies & kCorners)) -
                      16 * std::popcount(around(child.opponent) & open);
            key += (m & kCorners) != 0 ? 24 : 0;
            key += (m & odd) != 0 ? 8 : 0;
            if (shallow > 0) key -= 256 * mobility_search(child, shallow, -kInfinity, kInfinity);
            if (pos == hint) key += 1 << 20;
            out[count] = Child{child, key, pos};
        }
        std::sort(out.begin(), out.begin() + count, [](const Child& x, const Child& y) { return x.key > y.key; });
        return count;
    }

    // Children of `b` with the table's move first, then by a cheap guess of their value.
    int order(const Board& b, std::uint64_t moves, unsigned hint, int depth, std::array<Child, 64>& out) {
        int count = 0;
        for (; moves != 0; ++count) {
            const unsigned pos = board::first_square(moves);
            moves ^= board::square_bit(pos);
            const Board child = movegen::after_move(b, pos);
            int key = kSquareOrder[pos];
            if constexpr (std::is_same_v<Eval, PieceEvaluator>) {
                // Discs first (what the leaves count), then few replies for the opponent.
                if (depth > 2) {
                    key += 16 * std::popcount(child.opponent) -
                           8 * std::popcount(movegen::legal_moves(child.player, child.opponent));
                } else {
                    key += 8 * std::popcount(child.opponent);
                }
            } else if (depth > 2) {
                key -= 16 * std::popcount(movegen::legal_moves(child.player, child.opponent));
            }
            if (pos == hint) key += 1 << 20;
            out[count] = Child{child, key, pos};
        }
        std::sort(out.begin(), out.begin() + count, [](const Child& x, const Child& y) { return x.key > y.key; });
        return count;
    }

    // The value one ply above the leaves: the best child score, stopping once it reaches beta.
    VELTRIX_FLATTEN int last_ply(const Board& b, std::uint64_t moves, int beta) {
        int best = -kInfinity;
        if constexpr (std::is_same_v<Eval, PieceEvaluator>) {
            // After a move that flips f discs the mover leads by diff + 1 + 2f.
            const int lead = std::popcount(b.player) - std::popcount(b.opponent) + 1;
            for (; moves != 0; moves &= moves - 1) {
                const std::uint64_t m = moves & (~moves + 1);
                const int v = lead + 2 * std::popcount(movegen::flips(m, b.player, b.opponent));
                ++nodes_;
                if (v > best && (best = v) >= beta) break;
            }
        } else {
            for (; moves != 0; moves &= moves - 1) {
                const std::uint64_t m = moves & (~moves + 1);
                const std::uint64_t f = movegen::flips(m, b.player, b.opponent);
                const int v = -leaf_score<Eval>(Board{b.opponent ^ f, b.player ^ (m | f), b.turn});
                ++nodes_;
                if (v > best && (best = v) >= beta) break;
            }
        }
        return best;
    }

    static constexpr std::uint32_t kPollInterval = 1024;
    // Endgame nodes with at least this many empty squares use the table.
    static constexpr int kTableFrom = 9;
    // Endgame nodes with at least this many empty squares order their moves by shallow searches.
    static constexpr int kShallowOrderFrom = 18;
    static constexpr int kShallowDepth = 4;
    // Endgame nodes with at least this many empty squares look up their children first.
    static constexpr int kLookAheadFrom = 10;
    // Stability is worth computing only when the window asks for a large lead.
    static constexpr int kStabilityFrom = 8;

    Table table_;
    const StopCheck& stop_;
    bool probe_up_ = false;
    endgame::SmallSolver<SquareFlips> small_;
    std::uint64_t nodes_ = 0;
    std::uint32_t until_poll_ = kPollInterval;
};

template <class Eval>
std::optional<unsigned> choose(const Board& b, std::size_t max_depth, std::uint64_t* nodes, const StopCheck& stop) {
    std::array<unsigned, 64> moves{};
    int count = 0;
    for (std::uint64_t mask = b.get_legal_moves(); mask != 0; ++count) {
        moves[count] = board::first_square(mask);
        mask ^= board::square_bit(moves[count]);
    }
    if (count == 0) return std::nullopt;
    const int depth = static_cast<int>(std::min<std::size_t>(max_depth, kDepthCap));
    std::uint64_t ordering_nodes = 0;
    int first_iteration = depth >= 3 ? depth % 2 : depth;
    if constexpr (std::is_same_v<Eval, PieceEvaluator>) {
        const int child_empties = std::popcount(~(b.player | b.opponent)) - 1;
        if (depth >= child_empties && child_empties >= kOrderedSolveFrom) {
            // An exact solve: the root moves are ordered by shallow searches for mobility (disc
            // counts say little before the end), and the solve itself follows at once.
            FastSearch<MobilityEvaluator> ordering(16, stop);
            for (int iteration = 1 + child_empties % 2; iteration <= child_empties - kSolveLead; iteration += 2) {
                ordering.root(b, iteration, moves, count);
            }
            ordering_nodes = ordering.nodes();
            first_iteration = depth;
        }
    }
    FastSearch<Eval> search(static_cast<unsigned>(std::clamp(6 + 2 * depth, 10, 20)), stop);
    unsigned chosen = moves[0];
    // Shallower iterations of the same parity fill the table with good moves for the last one.
    for (int iteration = first_iteration; iteration < depth; iteration += 2) {
        chosen = search.root(b, iteration, moves, count);
    }
    chosen = search.root(b, depth, moves, count, first_iteration == depth);
    if (nodes != nullptr) *nodes = ordering_nodes + search.nodes();
    return chosen;
}

}  // namespace
#ifdef VELTRIX_FAST_SEARCH_AVX2
}  // namespace avx2_copy
#endif

// The AVX2 copy's entry, defined where the processor may have AVX2.
std::optional<unsigned> fast_get_move_avx2(const board::Board& board, std::size_t max_depth,
                                           BuiltinEvaluator evaluator, std::uint64_t* nodes, const StopCheck& stop);

std::optional<unsigned> VELTRIX_FAST_SEARCH_ENTRY(const board::Board& board, std::size_t max_depth,
                                                  BuiltinEvaluator evaluator, std::uint64_t* nodes,
                                                  const StopCheck& stop) {
#if VELTRIX_AVX2_PATH && !defined(VELTRIX_FAST_SEARCH_AVX2)
    if (board::avx2_selected()) return fast_get_move_avx2(board, max_depth, evaluator, nodes, stop);
#endif
    if ((board.player & board.opponent) != 0) {
        // Overlapping words are no position of the game; only the walk itself defines them.
        PollingCount count(stop);
        if (nodes != nullptr) *nodes = 0;
        if (evaluator == BuiltinEvaluator::Piece) return plain::get_move(PieceEvaluator{}, board, max_depth, count);
        return plain::get_move(LegalNumEvaluator{}, board, max_depth, count);
    }
    if (evaluator == BuiltinEvaluator::Piece) return choose<PieceEvaluator>(board, max_depth, nodes, stop);
    return choose<LegalNumEvaluator>(board, max_depth, nodes, stop);
}

}  // namespace veltrix::search

#ifdef VELTRIX_FAST_SEARCH_AVX2
VELTRIX_AVX2_END
#endif
