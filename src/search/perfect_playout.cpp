#include "search/perfect_playout.hpp"

#include <bit>

#include "search/evaluator.hpp"
#include "search/fast_search.hpp"
#include "search/plain_search.hpp"

namespace veltrix::search {

namespace {

// Up to this many empty squares the reference walk itself solves in well under a millisecond
// and allocates nothing; the fast search, which sets up a large table for every move, pays
// more for that table than for the solve there.
constexpr int kPlainUpTo = 10;

// Enough depth for every line to end: each move may be preceded by a pass.
std::size_t exact_depth(const board::Board& board) {
    return static_cast<std::size_t>(2 * std::popcount(~(board.player | board.opponent)) + 2);
}

}  // namespace

std::vector<unsigned> perfect_playout(board::Board& board, const StopCheck& stop) {
    std::vector<unsigned> line;
    const PieceEvaluator discs;
    PollingCount count(stop);
    while (!board.is_game_over()) {
        if (board.is_pass()) {
            board = board.after_pass();
            continue;
        }
        // Both searches choose the move of the reference walk (the lowest square among the
        // best), the move AlphaBetaSearch with the disc evaluator plays at full depth.
        const std::size_t depth = exact_depth(board);
        const std::optional<unsigned> move =
            std::popcount(~(board.player | board.opponent)) <= kPlainUpTo
                ? plain::get_move(discs, board, depth, count)
                : fast_get_move(board, depth, BuiltinEvaluator::Piece, nullptr, stop);
        // A position with a legal move always has a chosen move; stop rather than loop if not.
        if (!move || !board.is_legal_move(*move)) break;
        board = board.after_move(*move);
        line.push_back(*move);
    }
    return line;
}

}  // namespace veltrix::search
