// The perft walk over one move generator `Gen` (static legal_moves, has_no_move and
// after_move). No include guard and no includes: perft_bench.cpp includes it once per
// compilation target, inside a namespace of its own.

// A forced pass counts as a ply and a finished game as one leaf; the last ply is counted in
// bulk (the number of legal moves), as engines usually do.
template <class Gen>
std::uint64_t perft(const veltrix::board::Board& board, int depth) {
    if (depth == 0) return 1;
    std::uint64_t moves = Gen::legal_moves(board.player, board.opponent);
    if (moves == 0) {
        if (Gen::has_no_move(board.opponent, board.player)) return 1;  // game over
        return perft<Gen>(board.after_pass(), depth - 1);
    }
    if (depth == 1) return static_cast<std::uint64_t>(std::popcount(moves));
    std::uint64_t leaves = 0;
    if (depth == 2) {
        // The frontier in one loop, without a call per child: a child with moves has that many
        // leaves, one that must pass (or has ended the game) has one.
        for (; moves != 0; moves &= moves - 1) {
            const unsigned pos = 63U - static_cast<unsigned>(std::countr_zero(moves));
            const veltrix::board::Board child = Gen::after_move(board, pos);
            const std::uint64_t replies = Gen::legal_moves(child.player, child.opponent);
            leaves += replies != 0 ? static_cast<std::uint64_t>(std::popcount(replies)) : 1;
        }
        return leaves;
    }
    for (; moves != 0; moves &= moves - 1) {
        const unsigned pos = 63U - static_cast<unsigned>(std::countr_zero(moves));
        leaves += perft<Gen>(Gen::after_move(board, pos), depth - 1);
    }
    return leaves;
}
