// What the benchmarks' native player programs share: a stdin loop that answers line by line,
// and the first legal move of a board line ("X", "O" and "-", one character a square).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "board/core.hpp"

namespace bench_player {

inline bool write_all(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads stdin line by line and writes each line's reply (an empty one writes nothing); returns
// 0 at the end of the input or once stdout is closed.
template <typename Answer>
int serve_lines(Answer&& answer) {
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
            if (!write_all(answer(line))) return 0;
        }
    }
}

// The arena appends the colour a program plays as its last argument.
inline bool plays_white(int argc, char** argv) { return argc > 1 && std::strcmp(argv[argc - 1], "WHITE") == 0; }

// The first legal move of `white`'s side in a board line, or 64 when it has none.
inline unsigned first_move(const std::string& line, bool white) {
    std::uint64_t black_word = 0;
    std::uint64_t white_word = 0;
    for (unsigned pos = 0; pos < 64 && pos < line.size(); ++pos) {
        if (line[pos] == 'X') black_word |= veltrix::board::square_bit(pos);
        if (line[pos] == 'O') white_word |= veltrix::board::square_bit(pos);
    }
    const std::uint64_t moves = white ? veltrix::board::legal_moves(white_word, black_word)
                                      : veltrix::board::legal_moves(black_word, white_word);
    return moves == 0 ? 64 : veltrix::board::first_square(moves);
}

}  // namespace bench_player
