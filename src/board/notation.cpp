#include "board/notation.hpp"

namespace veltrix::board {

std::optional<unsigned> parse_square(std::string_view name) {
    if (name.size() != 2) return std::nullopt;
    const char column = static_cast<char>(name[0] | 0x20);  // ASCII lower case; digits unchanged
    const char row = name[1];
    if (column < 'a' || column > 'h' || row < '1' || row > '8') return std::nullopt;
    return static_cast<unsigned>((row - '1') * 8 + (column - 'a'));
}

std::string square_name(unsigned pos) {
    return std::string{static_cast<char>('a' + pos % 8), static_cast<char>('1' + pos / 8)};
}

Result<Board, TranscriptError> play_transcript(std::string_view text) {
    Board board;
    for (std::size_t at = 0; at < text.size(); at += 2) {
        const std::string_view move = text.substr(at, 2);
        const std::size_t index = at / 2;
        const std::optional<unsigned> pos = parse_square(move);
        if (!pos) return Err{TranscriptError{TranscriptError::Kind::Unparsable, index, std::string(move)}};
        if (board.is_pass() && !board.is_game_over()) board = board.after_pass();
        if (!board.is_legal_move(*pos)) return Err{TranscriptError{TranscriptError::Kind::Illegal, index, std::string(move)}};
        board = board.after_move(*pos);
    }
    return board;
}

std::string write_transcript(std::span<const unsigned> moves) {
    std::string text;
    text.reserve(moves.size() * 2);
    for (const unsigned pos : moves) text += square_name(pos);
    return text;
}

}  // namespace veltrix::board
