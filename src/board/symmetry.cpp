#include "board/symmetry.hpp"

namespace veltrix::board {

unsigned canonical_symmetry(const Board& board) {
    unsigned best = 0;
    std::uint64_t best_player = board.player;
    std::uint64_t best_opponent = board.opponent;
    for (unsigned k = 1; k < kSymmetryCount; ++k) {
        const std::uint64_t player = transform_word(board.player, k);
        if (player > best_player) continue;
        const std::uint64_t opponent = transform_word(board.opponent, k);
        if (player < best_player || opponent < best_opponent) {
            best = k;
            best_player = player;
            best_opponent = opponent;
        }
    }
    return best;
}

Board canonical(const Board& board) { return transform(board, canonical_symmetry(board)); }

}  // namespace veltrix::board
