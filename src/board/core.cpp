// Move execution, passing, results, random moves and child positions.
#include "board/core.hpp"

#include <random>

namespace veltrix::board {

bool Board::is_game_over() const {
    if (!is_pass()) return false;
    return selected_has_no_move(opponent, player);
}

Result<void, BoardError> Board::do_move(std::size_t pos) {
    if (pos > 63) return Err{BoardError::InvalidPosition};
    if ((get_legal_moves() & square_bit(static_cast<unsigned>(pos))) == 0) return Err{BoardError::InvalidMove};
    *this = after_move(static_cast<unsigned>(pos));
    return {};
}

Result<void, BoardError> Board::do_pass() {
    if (get_legal_moves() != 0) return Err{BoardError::InvalidPass};
    *this = after_pass();
    return {};
}

Result<std::optional<Turn>, BoardError> Board::get_winner() const {
    if (!is_game_over()) return Err{BoardError::GameNotOverYet};
    const int p = player_piece_num();
    const int o = opponent_piece_num();
    if (p > o) return std::optional<Turn>{turn};
    if (p < o) return std::optional<Turn>{opposite(turn)};
    return std::optional<Turn>{};
}

Result<bool, BoardError> Board::is_win() const {
    if (!is_game_over()) return Err{BoardError::GameNotOverYet};
    return player_piece_num() > opponent_piece_num();
}

Result<bool, BoardError> Board::is_lose() const {
    if (!is_game_over()) return Err{BoardError::GameNotOverYet};
    return player_piece_num() < opponent_piece_num();
}

Result<bool, BoardError> Board::is_draw() const {
    if (!is_game_over()) return Err{BoardError::GameNotOverYet};
    return player_piece_num() == opponent_piece_num();
}

Result<bool, BoardError> Board::is_black_win() const {
    if (!is_game_over()) return Err{BoardError::GameNotOverYet};
    return black_piece_num() > white_piece_num();
}

Result<bool, BoardError> Board::is_white_win() const {
    if (!is_game_over()) return Err{BoardError::GameNotOverYet};
    return white_piece_num() > black_piece_num();
}

std::vector<unsigned> Board::get_legal_moves_vec() const {
    std::vector<unsigned> moves;
    std::uint64_t mask = get_legal_moves();
    moves.reserve(static_cast<std::size_t>(std::popcount(mask)));
    for (; mask != 0; mask &= ~square_bit(first_square(mask))) moves.push_back(first_square(mask));
    return moves;
}

std::array<bool, 64> Board::get_legal_moves_tf() const {
    std::array<bool, 64> legal{};
    const std::uint64_t mask = get_legal_moves();
    for (unsigned pos = 0; pos < 64; ++pos) legal[pos] = (mask & square_bit(pos)) != 0;
    return legal;
}

namespace {

// Each thread draws from its own generator, seeded once from the operating system.
std::mt19937_64& thread_generator() {
    thread_local std::mt19937_64 generator = [] {
        std::random_device entropy;
        std::seed_seq seed{entropy(), entropy(), entropy(), entropy()};
        return std::mt19937_64(seed);
    }();
    return generator;
}

}  // namespace

Result<unsigned, BoardError> Board::get_random_move() const {
    const std::vector<unsigned> moves = get_legal_moves_vec();
    if (moves.empty()) return Err{BoardError::NoLegalMove};
    const std::uint64_t draw = thread_generator()();
    return moves[draw % moves.size()];
}

std::optional<std::vector<Board>> Board::get_child_boards() const {
    if (is_pass()) return std::nullopt;
    std::vector<Board> children;
    std::uint64_t mask = get_legal_moves();
    children.reserve(static_cast<std::size_t>(std::popcount(mask)));
    for (; mask != 0; mask &= ~square_bit(first_square(mask))) children.push_back(after_move(first_square(mask)));
    return children;
}

}  // namespace veltrix::board
