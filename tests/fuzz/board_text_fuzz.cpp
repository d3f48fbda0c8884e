// Board::set_board_str on arbitrary text, then a game played from the position it gives.
// Input: one byte for the side to move, then the line as UTF-8 (a byte that does not start a
// valid sequence stands for itself, so every code point below 256 is reachable), then, after a
// NUL, the choices of moves to play.
#include <algorithm>
#include <string>

#include "board/core.hpp"
#include "fuzz_check.hpp"

using namespace veltrix::board;

namespace {

std::u32string decode(std::string_view bytes) {
    std::u32string text;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
        if (length == 1 || i + length > bytes.size()) {
            text.push_back(lead);
            ++i;
            continue;
        }
        char32_t c = lead & (0x7f >> length);
        for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(bytes[i + k]) & 0x3f);
        text.push_back(c);
        i += length;
    }
    return text;
}

bool accepted(const std::u32string& line) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == U'-') continue;
        if ((line[i] != U'X' && line[i] != U'O') || i >= 64) return false;
    }
    return true;
}

// The line read back and parsed again gives the same board.
void check_round_trip(const Board& board) {
    const auto line = board.get_board_line();
    FUZZ_CHECK(line.ok());
    FUZZ_CHECK(line.value().size() == 64);
    Board again{0, 0, Turn::Black};
    const std::u32string wide(line.value().begin(), line.value().end());
    FUZZ_CHECK(again.set_board_str(wide, board.turn).ok());
    FUZZ_CHECK(again == board);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const Turn turn = (input.byte() & 1) != 0 ? Turn::White : Turn::Black;
    const std::string_view rest = input.rest();
    const std::size_t split = std::min(rest.find('\0'), rest.size());
    const std::u32string line = decode(rest.substr(0, split));
    fuzz::Input choices(reinterpret_cast<const std::uint8_t*>(rest.data()) + split, rest.size() - split);

    Board board;  // the start position, kept whole when the line is refused
    const Board before = board;
    const auto parsed = board.set_board_str(line, turn);
    FUZZ_CHECK(parsed.ok() == accepted(line));
    if (!parsed) {
        FUZZ_CHECK(parsed.error() == BoardError::InvalidCharactor);
        FUZZ_CHECK(board == before);
        return 0;
    }
    const auto rendered = board.get_board_line();
    FUZZ_CHECK(rendered.ok());
    for (std::size_t i = 0; i < 64; ++i) {
        const char expected = i < line.size() ? static_cast<char>(line[i]) : '-';
        FUZZ_CHECK(rendered.value()[i] == expected);
    }
    FUZZ_CHECK(board.turn == turn);

    // Play on from the parsed position: every move keeps the words disjoint and adds one disc.
    for (int ply = 0; ply < 64 && !board.is_game_over(); ++ply) {
        check_round_trip(board);
        const std::uint64_t moves = board.get_legal_moves();
        if (moves == 0) {
            FUZZ_CHECK(board.is_pass());
            FUZZ_CHECK(board.do_pass().ok());
            continue;
        }
        const auto vec = board.get_legal_moves_vec();
        FUZZ_CHECK(vec.size() == static_cast<std::size_t>(std::popcount(moves)));
        const unsigned pos = vec[choices.byte() % vec.size()];
        const int discs = board.piece_sum();
        const int mover = board.player_piece_num();
        FUZZ_CHECK(board.do_move(pos).ok());
        FUZZ_CHECK(board.is_sound());
        FUZZ_CHECK(board.piece_sum() == discs + 1);
        FUZZ_CHECK(board.opponent_piece_num() >= mover + 2);  // the new disc and at least one flip
    }
    return 0;
}
