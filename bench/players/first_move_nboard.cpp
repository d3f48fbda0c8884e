// A minimal fast NBoard engine for benchmarks, the twin of first_move_player: answers
// "pong N" to "ping N" and "go" with the first legal move of the position of the last
// "set game" (read from its BO tag; later move tags are not applied: the adapter sends none).
#include <cstdint>
#include <string>

#include "line_player.hpp"

namespace {

struct Position {
    std::uint64_t mover = 0;
    std::uint64_t other = 0;
};

// The position of a "set game" line's BO[8 <64 squares> <side>] tag.
Position parse_game(const std::string& line) {
    Position position;
    const std::size_t tag = line.find("BO[8");
    if (tag == std::string::npos) return position;
    std::string squares;
    for (std::size_t i = tag + 4; i < line.size() && line[i] != ']'; ++i) {
        if (line[i] == '*' || line[i] == 'O' || line[i] == '-') squares += line[i];
    }
    if (squares.size() != 65) return position;
    const char side = squares[64];
    for (unsigned pos = 0; pos < 64; ++pos) {
        if (squares[pos] == '-') continue;
        (squares[pos] == side ? position.mover : position.other) |= veltrix::board::square_bit(pos);
    }
    return position;
}

std::string answer(const std::string& line, Position& position) {
    if (line.rfind("ping", 0) == 0) return "pong" + line.substr(4) + "\n";
    if (line.rfind("set game", 0) == 0) {
        position = parse_game(line);
        return "";
    }
    if (line == "go") {
        const std::uint64_t moves = veltrix::board::legal_moves(position.mover, position.other);
        if (moves == 0) return "=== PA\n";
        const unsigned pos = veltrix::board::first_square(moves);
        return std::string("=== ") + static_cast<char>('a' + pos % 8) + static_cast<char>('1' + pos / 8) + "\n";
    }
    return "";  // nboard, set depth, anything else: nothing to answer
}

}  // namespace

int main() {
    Position position;
    return bench_player::serve_lines([&position](const std::string& line) { return answer(line, position); });
}
