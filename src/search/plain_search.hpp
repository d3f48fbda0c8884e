// The reference walk of the alpha-beta search: square order, no table, no move ordering.
//
// With an evaluator that foreign code can observe, this walk is the contract: the same
// positions are scored in the same order. It is a template so that a built-in evaluator is
// called directly; the search keeps its children on the stack and allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "board/core.hpp"

namespace veltrix::search {

// Best score at the root before any move is scored (one above the smallest 32-bit value).
inline constexpr std::int32_t kRootInitialBest = -2147483647;
// Alpha handed to every root child (two above the smallest 32-bit value).
inline constexpr std::int32_t kRootChildAlpha = -2147483646;

// Negation that wraps instead of overflowing: a foreign evaluator may return the smallest
// 32-bit value, whose negation is not representable; the search must still be defined.
constexpr std::int32_t negate(std::int32_t value) {
    return static_cast<std::int32_t>(0U - static_cast<std::uint32_t>(value));
}

// A node counter for benchmarks; the default one counts nothing and costs nothing.
struct NoNodeCount {
    void node() {}
};

namespace plain {

// Negamax value of `board` searched `depth` plies deep in the window (alpha, beta): never
// below alpha except through a pass, and after a cut-off the score that caused it.
template <class Eval, class Count = NoNodeCount>
std::int32_t search_score(const Eval& eval, const board::Board& board, std::size_t depth, std::int32_t alpha,
                          std::int32_t beta, Count& count) {
    count.node();
    if (depth == 0) return eval.evaluate(board);
    std::uint64_t moves = board.get_legal_moves();
    if (moves == 0) {
        if (board::has_no_move(board.opponent, board.player)) return eval.evaluate(board);  // game over
        // A pass uses up a ply and its value is returned as it is.
        return negate(search_score(eval, board.after_pass(), depth - 1, negate(beta), negate(alpha), count));
    }
    while (moves != 0) {
        const unsigned pos = board::first_square(moves);
        moves ^= board::square_bit(pos);
        const std::int32_t score =
            negate(search_score(eval, board.after_move(pos), depth - 1, negate(beta), negate(alpha), count));
        if (score >= alpha) alpha = score;
        if (alpha >= beta) break;
    }
    return alpha;
}

// The chosen move: the lowest square among those of the highest score, each root move
// searched `max_depth` plies below it; nothing when the side to move has no legal move.
// Scores at the very ends of the 32-bit range can leave every move unchosen; the lowest
// square is returned then, so that "nothing" always means the side to move must pass.
template <class Eval, class Count = NoNodeCount>
std::optional<unsigned> get_move(const Eval& eval, const board::Board& board, std::size_t max_depth,
                                 Count& count) {
    std::int32_t best = kRootInitialBest;
    std::optional<unsigned> chosen;
    const std::uint64_t legal = board.get_legal_moves();
    for (std::uint64_t moves = legal; moves != 0;) {
        const unsigned pos = board::first_square(moves);
        moves ^= board::square_bit(pos);
        const std::int32_t score =
            negate(search_score(eval, board.after_move(pos), max_depth, kRootChildAlpha, negate(best), count));
        if (score > best) {
            best = score;
            chosen = pos;
        }
    }
    if (!chosen && legal != 0) chosen = board::first_square(legal);
    return chosen;
}

}  // namespace plain

}  // namespace veltrix::search
