// The line, grid, vector and matrix forms of a position.
#include "board/core.hpp"

namespace veltrix::board {

namespace {

// Glyph of square `pos`, or nothing when the square is in both words.
std::optional<char> glyph(const Board& board, unsigned pos) {
    const std::uint64_t bit = square_bit(pos);
    const bool black = (board.black() & bit) != 0;
    const bool white = (board.white() & bit) != 0;
    if (black && white) return std::nullopt;
    return black ? 'X' : white ? 'O' : '-';
}

}  // namespace

Result<void, BoardError> Board::set_board_str(std::u32string_view line, Turn new_turn) {
    std::uint64_t black_word = 0;
    std::uint64_t white_word = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char32_t c = line[i];
        if (c == U'-') continue;
        // An "X" or "O" past the last square names no square: refuse it rather than drop it.
        if ((c != U'X' && c != U'O') || i >= 64) return Err{BoardError::InvalidCharactor};
        (c == U'X' ? black_word : white_word) |= square_bit(static_cast<unsigned>(i));
    }
    player = new_turn == Turn::Black ? black_word : white_word;
    opponent = new_turn == Turn::Black ? white_word : black_word;
    turn = new_turn;
    return {};
}

Result<std::string, BoardError> Board::get_board_line() const {
    std::string line(64, '-');
    for (unsigned pos = 0; pos < 64; ++pos) {
        const std::optional<char> g = glyph(*this, pos);
        if (!g) return Err{BoardError::InvalidState};
        line[pos] = *g;
    }
    return line;
}

Result<std::array<std::uint8_t, 64>, BoardError> Board::get_board_vec_black() const {
    if (!is_sound()) return Err{BoardError::InvalidState};
    std::array<std::uint8_t, 64> vec{};
    for (unsigned pos = 0; pos < 64; ++pos) {
        const std::uint64_t bit = square_bit(pos);
        vec[pos] = (player & bit) ? 1 : (opponent & bit) ? 2 : 0;
    }
    return vec;
}

Result<std::array<std::uint8_t, 64>, BoardError> Board::get_board_vec_turn() const {
    if (!is_sound()) return Err{BoardError::InvalidState};
    std::array<std::uint8_t, 64> vec{};
    for (unsigned pos = 0; pos < 64; ++pos) {
        const std::uint64_t bit = square_bit(pos);
        vec[pos] = (black() & bit) ? 1 : (white() & bit) ? 2 : 0;
    }
    return vec;
}

Result<std::array<std::array<std::array<std::int32_t, 8>, 8>, 3>, BoardError> Board::get_board_matrix() const {
    if (!is_sound()) return Err{BoardError::InvalidState};
    std::array<std::array<std::array<std::int32_t, 8>, 8>, 3> planes{};
    for (unsigned pos = 0; pos < 64; ++pos) {
        const std::uint64_t bit = square_bit(pos);
        const unsigned plane = (player & bit) ? 0 : (opponent & bit) ? 1 : 2;
        planes[plane][pos / 8][pos % 8] = 1;
    }
    return planes;
}

Result<std::string, BoardError> Board::to_string() const {
    std::string text = " |abcdefgh\n-+--------\n";
    for (unsigned row = 0; row < 8; ++row) {
        text += static_cast<char>('1' + row);
        text += '|';
        for (unsigned col = 0; col < 8; ++col) {
            const std::optional<char> g = glyph(*this, row * 8 + col);
            if (!g) return Err{BoardError::InvalidState};
            text += *g;
        }
        text += '\n';
    }
    return text;
}

}  // namespace veltrix::board
