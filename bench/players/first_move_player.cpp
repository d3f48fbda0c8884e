// A minimal fast player program for benchmarks: answers "pong" to "ping" and every position
// with its first legal move. Usage: first_move_player COLOUR ("BLACK" or "WHITE").
#include <unistd.h>

#include <cstring>
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

// The reply to one line: "pong" to "ping", else the first legal move of `white`'s side.
std::string answer(const std::string& line, bool white) {
    if (line == "ping") return "pong\n";
    std::uint64_t black_word = 0;
    std::uint64_t white_word = 0;
    for (unsigned pos = 0; pos < 64 && pos < line.size(); ++pos) {
        if (line[pos] == 'X') black_word |= veltrix::board::square_bit(pos);
        if (line[pos] == 'O') white_word |= veltrix::board::square_bit(pos);
    }
    const std::uint64_t moves = white ? veltrix::board::legal_moves(white_word, black_word)
                                      : veltrix::board::legal_moves(black_word, white_word);
    return std::to_string(moves == 0 ? 64 : veltrix::board::first_square(moves)) + "\n";
}

}  // namespace

int main(int argc, char** argv) {
    const bool white = argc > 1 && std::strcmp(argv[argc - 1], "WHITE") == 0;
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
            if (!write_all(answer(line, white))) return 0;
        }
    }
}
