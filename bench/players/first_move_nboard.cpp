// A minimal fast NBoard engine for benchmarks, the twin of first_move_player: answers
// "pong N" to "ping N" and "go" with the first legal move of the position of the last
// "set game" (read from its BO tag; later move tags are not applied: the adapter sends none).
#include <unistd.h>

#include <cstdint>
#include <string>

#include "board/core.hpp"

namespace {

bool write_all(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

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
    std::string pending;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) return 0;
        pending.append(chunk, static_cast<std::size_t>(n));
        std::size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            if (!write_all(answer(line, position))) return 0;
        }
    }
}
