// Negamax with alpha-beta, principal-variation null windows, a transposition table, move
// ordering, iterative deepening at the root and shortcuts at the last ply and near the end.
#include "search/fast_search.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <vector>
#include <type_traits>

#include "board/moves_avx2.hpp"
#include "search/evaluator.hpp"

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

namespace {

using board::Board;
#ifdef VELTRIX_FAST_SEARCH_AVX2
namespace movegen = board::avx2;
#else
namespace movegen = board::portable;
#endif

constexpr int kInfinity = 1000;  // beyond every score of the built-in evaluators (|score| <= 64)
// Past this many plies every line of any position ends first, so deeper searches are the same.
constexpr int kDepthCap = 2 * 64 + 2;
// Table key for "searched to the end of every line": the remaining depth no longer matters.
constexpr std::uint8_t kToTheEnd = 255;

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

struct Entry {
    std::uint64_t player;
    std::uint64_t opponent;
    std::int16_t lower;       // the value is at least this
    std::int16_t upper;       // and at most this
    std::uint16_t search_id;  // the search that wrote it; entries of earlier searches are unused
    std::uint8_t depth;       // remaining depth, or kToTheEnd
    std::uint8_t move;        // best move found, for ordering (64: none)
};

// The table of one search. Its memory is a per-thread scratch area reused by later searches,
// which see none of the earlier entries: each search has its own id, so the choice never
// depends on what was searched before, and no search pays for clearing or faulting in pages.
class Table {
public:
    explicit Table(unsigned bits) {
        Scratch& scratch = thread_scratch();
        const std::size_t size = std::size_t{1} << bits;
        if (scratch.entries.size() < size || ++scratch.last_id == 0) {
            scratch.entries.assign(std::max(size, scratch.entries.size()), Entry{});
            scratch.last_id = 1;
        }
        entries_ = scratch.entries.data();
        mask_ = size - 1;
        id_ = scratch.last_id;
    }

    // The slot of `b`, or null when it holds another position or an earlier search's entry.
    Entry* find(const Board& b) {
        Entry& e = slot(b);
        return e.search_id == id_ && e.player == b.player && e.opponent == b.opponent ? &e : nullptr;
    }

    // Records what a search of `b` at `depth` with window (alpha, beta) returned.
    void store(const Board& b, std::uint8_t depth, int alpha, int beta, int value, unsigned move) {
        Entry& e = slot(b);
        if (e.search_id != id_ || e.player != b.player || e.opponent != b.opponent || e.depth != depth) {
            e = Entry{b.player, b.opponent, -kInfinity, kInfinity, id_, depth, 64};
        }
        const auto v = static_cast<std::int16_t>(value);
        if (value <= alpha) {
            e.upper = std::min(e.upper, v);
        } else if (value >= beta) {
            e.lower = std::max(e.lower, v);
        } else {
            e.lower = e.upper = v;
        }
        e.move = static_cast<std::uint8_t>(move);
    }

private:
    struct Scratch {
        std::vector<Entry> entries;
        std::uint16_t last_id = 0;
    };

    static Scratch& thread_scratch() {
        thread_local Scratch scratch;
        return scratch;
    }

    Entry& slot(const Board& b) {
        std::uint64_t h = b.player * 0x9E3779B97F4A7C15ULL ^ std::rotl(b.opponent * 0xC2B2AE3D27D4EB4FULL, 31);
        h ^= h >> 29;
        return entries_[h & mask_];
    }

    Entry* entries_;
    std::uint64_t mask_;
    std::uint16_t id_;
};

struct Child {
    Board board;
    int key;
    unsigned pos;
};

template <class Eval>
class FastSearch {
public:
    explicit FastSearch(unsigned table_bits) : table_(table_bits) {}

    std::uint64_t nodes() const { return nodes_; }

    // Fail-soft negamax value of `b` at `depth`: exact inside (alpha, beta), otherwise a
    // bound on the far side of the window it fell out of.
    int search(const Board& b, int depth, int alpha, int beta) {
        ++nodes_;
        if (depth == 0) return Eval::score(b);
        const std::uint64_t moves = movegen::legal_moves(b.player, b.opponent);
        if (moves == 0) {
            if (movegen::has_no_move(b.opponent, b.player)) return Eval::score(b);  // game over
            return -search(b.after_pass(), depth - 1, -beta, -alpha);
        }
        if (depth == 1) return last_ply(b, moves, beta);

        const int empties = std::popcount(~(b.player | b.opponent));
        std::uint8_t key = static_cast<std::uint8_t>(depth);
        if (depth >= 2 * empties) {
            if constexpr (std::is_same_v<Eval, LegalNumEvaluator>) {
                return 0;  // every line reaches a finished game, where nobody can move
            } else {
                if (empties == 1) return last_empty(b, moves);
                key = kToTheEnd;
            }
        }

        unsigned hint = 64;
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
        table_.store(b, key, alpha, beta, best, best_move);
        return best;
    }

    // The reference root choice at `depth` plies below each move, trying `moves` in order.
    unsigned root(const Board& b, int depth, std::array<unsigned, 64>& moves, int count) {
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
                v = -search(child, depth, -kInfinity, -threshold);
                best = v;
                chosen_index = i;
            }
        }
        // The choice goes first in the next, deeper iteration.
        std::rotate(moves.begin(), moves.begin() + chosen_index, moves.begin() + chosen_index + 1);
        return moves[0];
    }

private:
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
    int last_ply(const Board& b, std::uint64_t moves, int beta) {
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
                const int v = -std::popcount(movegen::legal_moves(b.opponent ^ f, b.player ^ (m | f)));
                ++nodes_;
                if (v > best && (best = v) >= beta) break;
            }
        }
        return best;
    }

    // Disc difference of the finished game when one empty square is left and the mover can
    // play it (`moves` holds that square); the depth is known to be enough for a pass.
    static int last_empty(const Board& b, std::uint64_t moves) {
        const int flipped = std::popcount(movegen::flips(moves, b.player, b.opponent));
        return std::popcount(b.player) - std::popcount(b.opponent) + 1 + 2 * flipped;
    }

    Table table_;
    std::uint64_t nodes_ = 0;
};

template <class Eval>
std::optional<unsigned> choose(const Board& b, std::size_t max_depth, std::uint64_t* nodes) {
    std::array<unsigned, 64> moves{};
    int count = 0;
    for (std::uint64_t mask = b.get_legal_moves(); mask != 0; ++count) {
        moves[count] = board::first_square(mask);
        mask ^= board::square_bit(moves[count]);
    }
    if (count == 0) return std::nullopt;
    const int depth = static_cast<int>(std::min<std::size_t>(max_depth, kDepthCap));
    FastSearch<Eval> search(static_cast<unsigned>(std::clamp(6 + 2 * depth, 10, 20)));
    unsigned chosen = moves[0];
    // Shallower iterations of the same parity fill the table with good moves for the last one.
    for (int iteration = depth >= 3 ? depth % 2 : depth; iteration <= depth; iteration += 2) {
        chosen = search.root(b, iteration, moves, count);
    }
    if (nodes != nullptr) *nodes = search.nodes();
    return chosen;
}

}  // namespace

// The AVX2 copy's entry, defined where the processor may have AVX2.
std::optional<unsigned> fast_get_move_avx2(const board::Board& board, std::size_t max_depth,
                                           BuiltinEvaluator evaluator, std::uint64_t* nodes);

std::optional<unsigned> VELTRIX_FAST_SEARCH_ENTRY(const board::Board& board, std::size_t max_depth,
                                                  BuiltinEvaluator evaluator, std::uint64_t* nodes) {
#if VELTRIX_AVX2_PATH && !defined(VELTRIX_FAST_SEARCH_AVX2)
    if (board::avx2_selected()) return fast_get_move_avx2(board, max_depth, evaluator, nodes);
#endif
    if (evaluator == BuiltinEvaluator::Piece) return choose<PieceEvaluator>(board, max_depth, nodes);
    return choose<LegalNumEvaluator>(board, max_depth, nodes);
}

}  // namespace veltrix::search

#ifdef VELTRIX_FAST_SEARCH_AVX2
VELTRIX_AVX2_END
#endif
