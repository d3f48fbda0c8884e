// The line, grid, vector and matrix forms of a position.
#include "board/core.hpp"

#include <array>
#include <bit>
#include <cstring>

namespace veltrix::board {

namespace {

// Entry b holds one byte per column of a row whose discs are the bits of b (column a is the
// row's high bit): 1 where there is a disc, 0 elsewhere, in memory order.
constexpr std::array<std::uint64_t, 256> kRowSpread = [] {
    std::array<std::uint64_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        for (unsigned col = 0; col < 8; ++col) {
            const unsigned byte = std::endian::native == std::endian::little ? col : 7 - col;
            if ((b >> (7 - col)) & 1U) table[b] |= std::uint64_t{1} << (8 * byte);
        }
    }
    return table;
}();

// Writes the 8 glyphs of `row` (0 = row 1) into `out`; the words must not share a square.
void render_row(std::uint64_t black, std::uint64_t white, unsigned row, char* out) {
    const unsigned shift = 56 - 8 * row;
    // Per byte '-' plus ('X' - '-') for a black disc or ('O' - '-') for a white one: no carries.
    const std::uint64_t glyphs = 0x2d2d2d2d2d2d2d2dULL + kRowSpread[(black >> shift) & 0xff] * ('X' - '-') +
                                 kRowSpread[(white >> shift) & 0xff] * ('O' - '-');
    std::memcpy(out, &glyphs, 8);
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
    if (!is_sound()) return Err{BoardError::InvalidState};
    std::string line(64, '-');
    for (unsigned row = 0; row < 8; ++row) render_row(black(), white(), row, line.data() + 8 * row);
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
    if (!is_sound()) return Err{BoardError::InvalidState};
    std::string text = " |abcdefgh\n-+--------\n";
    char row_text[12] = {'1', '|', 0, 0, 0, 0, 0, 0, 0, 0, '\n', 0};
    for (unsigned row = 0; row < 8; ++row) {
        row_text[0] = static_cast<char>('1' + row);
        render_row(black(), white(), row, row_text + 2);
        text.append(row_text, 11);
    }
    return text;
}

}  // namespace veltrix::board
