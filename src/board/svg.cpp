#include "board/svg.hpp"

#include <cstdio>

namespace veltrix::board {

namespace {

constexpr int kCell = 40;      // side of one square
constexpr int kMargin = 24;    // room for the coordinates left of and above the board
constexpr int kBoard = 8 * kCell;
constexpr int kStatus = 34;    // the line under the board that says whose turn it is
constexpr int kWidth = kBoard + 2 * kMargin;
constexpr int kHeight = kBoard + 2 * kMargin + kStatus;

// printf into a std::string, for the many small numeric elements.
template <class... Args>
void append(std::string& out, const char* format, Args... args) {
    char buffer[256];
    const int length = std::snprintf(buffer, sizeof buffer, format, args...);
    if (length > 0) out.append(buffer, static_cast<std::size_t>(length) < sizeof buffer ? length : sizeof buffer - 1);
}

int center_x(unsigned pos) { return kMargin + static_cast<int>(pos % 8) * kCell + kCell / 2; }
int center_y(unsigned pos) { return kMargin + static_cast<int>(pos / 8) * kCell + kCell / 2; }

const char* colour_name(Turn turn) { return turn == Turn::Black ? "Black" : "White"; }

// What the line under the board says: the side to move, a forced pass, or the result.
std::string status_text(const Board& b) {
    if (b.is_game_over()) {
        const int black = b.black_piece_num();
        const int white = b.white_piece_num();
        std::string text = black == white ? "Game over: draw" : std::string("Game over: ") + (black > white ? "Black" : "White") + " wins";
        append(text, " %d-%d", black > white ? black : white, black > white ? white : black);
        return text;
    }
    return std::string(colour_name(b.turn)) + (b.is_pass() ? " must pass" : " to move");
}

void disc(std::string& out, unsigned pos, bool black) {
    append(out, "<circle class=\"disc %s\" cx=\"%d\" cy=\"%d\" r=\"%d\" fill=\"%s\" stroke=\"%s\" stroke-width=\"1.5\"/>\n",
           black ? "black" : "white", center_x(pos), center_y(pos), kCell / 2 - 4, black ? "#111" : "#f5f5f5",
           black ? "#000" : "#777");
}

}  // namespace

Result<std::string, BoardError> board_svg(const Board& b) {
    if (!b.is_sound()) return Err{BoardError::InvalidState};
    const bool black_to_move = b.turn == Turn::Black;
    std::string out;
    out.reserve(8192);
    append(out,
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
           "font-family=\"sans-serif\">\n",
           kWidth, kHeight, kWidth, kHeight);
    out += "<title>Reversi position</title>\n";
    append(out, "<rect width=\"%d\" height=\"%d\" fill=\"#f0ead6\"/>\n", kWidth, kHeight);
    append(out, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#2e7d4f\" stroke=\"#14361f\" stroke-width=\"2\"/>\n",
           kMargin, kMargin, kBoard, kBoard);
    for (int line = 1; line < 8; ++line) {
        const int at = kMargin + line * kCell;
        append(out, "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#14361f\"/>\n", at, kMargin, at, kMargin + kBoard);
        append(out, "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#14361f\"/>\n", kMargin, at, kMargin + kBoard, at);
    }
    // The four marks on the inner corners of b2, g2, b7 and g7.
    for (const int x : {2, 6}) {
        for (const int y : {2, 6}) {
            append(out, "<circle cx=\"%d\" cy=\"%d\" r=\"3\" fill=\"#14361f\"/>\n", kMargin + x * kCell, kMargin + y * kCell);
        }
    }
    for (unsigned i = 0; i < 8; ++i) {
        append(out, "<text x=\"%d\" y=\"%d\" font-size=\"14\" text-anchor=\"middle\" fill=\"#333\">%c</text>\n",
               center_x(i), kMargin - 7, static_cast<char>('a' + i));
        append(out, "<text x=\"%d\" y=\"%d\" font-size=\"14\" text-anchor=\"middle\" fill=\"#333\">%u</text>\n",
               kMargin / 2, center_y(i * 8) + 5, i + 1);
    }
    const std::uint64_t black = b.black();
    const std::uint64_t white = b.white();
    const std::uint64_t moves = b.get_legal_moves();
    for (unsigned pos = 0; pos < 64; ++pos) {
        const std::uint64_t bit = square_bit(pos);
        if (black & bit) disc(out, pos, true);
        if (white & bit) disc(out, pos, false);
        if (moves & bit) {
            append(out, "<circle class=\"move\" cx=\"%d\" cy=\"%d\" r=\"6\" fill=\"%s\" fill-opacity=\"0.55\"/>\n",
                   center_x(pos), center_y(pos), black_to_move ? "#111" : "#f5f5f5");
        }
    }
    // The side to move: a disc of its colour, then the status text.
    const int status_y = kBoard + 2 * kMargin + kStatus / 2 - 4;
    if (!b.is_game_over()) {
        append(out, "<circle cx=\"%d\" cy=\"%d\" r=\"9\" fill=\"%s\" stroke=\"#000\" stroke-width=\"1\"/>\n", kMargin + 9,
               status_y, black_to_move ? "#111" : "#f5f5f5");
    }
    append(out, "<text class=\"status\" x=\"%d\" y=\"%d\" font-size=\"16\" fill=\"#222\">%s</text>\n",
           b.is_game_over() ? kMargin : kMargin + 26, status_y + 6, status_text(b).c_str());
    if (!b.is_game_over()) {
        append(out,
               "<text class=\"count\" x=\"%d\" y=\"%d\" font-size=\"14\" text-anchor=\"end\" fill=\"#444\">"
               "Black %d \xc2\xb7 White %d</text>\n",
               kMargin + kBoard, status_y + 5, b.black_piece_num(), b.white_piece_num());
    }
    out += "</svg>\n";
    return out;
}

}  // namespace veltrix::board
