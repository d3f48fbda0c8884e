#include "search/perfect_playout.hpp"

#include "search/fast_search.hpp"

namespace veltrix::search {

std::vector<unsigned> perfect_playout(board::Board& board, const StopCheck& stop) {
    std::vector<unsigned> line;
    while (!board.is_game_over()) {
        if (board.is_pass()) {
            board = board.after_pass();
            continue;
        }
        const std::optional<unsigned> move = fast_get_move(board, kExactDepth, BuiltinEvaluator::Piece, nullptr, stop);
        // A position with a legal move always has a chosen move; stop rather than loop if not.
        if (!move || !board.is_legal_move(*move)) break;
        board = board.after_move(*move);
        line.push_back(*move);
    }
    return line;
}

}  // namespace veltrix::search
