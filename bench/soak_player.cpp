// A player program for the soak benchmark that plays its first legal move until it is told
// to fail. Usage: soak_player MODE PLY COLOUR, where the arena appends COLOUR and MODE is
//   good       plays every game out
//   crash      exits at its PLY-th move request
//   silent     stops answering at its PLY-th request (and waits to be killed)
//   garbage    answers its PLY-th request with bytes that are no number
//   illegal    answers its PLY-th request with a square that is not a legal move
//   no-pong    exits instead of answering the handshake
//   mute-pong  never answers the handshake
#include <unistd.h>

#include <cstdlib>
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

[[noreturn]] void wait_to_be_killed() {
    for (;;) ::pause();
}

std::uint64_t legal(const std::string& line, bool white) {
    std::uint64_t black_word = 0;
    std::uint64_t white_word = 0;
    for (unsigned pos = 0; pos < 64 && pos < line.size(); ++pos) {
        if (line[pos] == 'X') black_word |= veltrix::board::square_bit(pos);
        if (line[pos] == 'O') white_word |= veltrix::board::square_bit(pos);
    }
    return white ? veltrix::board::legal_moves(white_word, black_word)
                 : veltrix::board::legal_moves(black_word, white_word);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const std::string mode = argv[1];
    const long fail_at = std::atol(argv[2]);
    const bool white = std::strcmp(argv[argc - 1], "WHITE") == 0;
    std::string pending;
    char chunk[4096];
    long requests = 0;
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) return 0;
        pending.append(chunk, static_cast<std::size_t>(n));
        std::size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            std::string reply;
            if (line == "ping") {
                if (mode == "no-pong") return 1;
                if (mode == "mute-pong") wait_to_be_killed();
                reply = "pong\n";
            } else {
                const std::uint64_t moves = legal(line, white);
                const unsigned move = moves == 0 ? 64 : veltrix::board::first_square(moves);
                if (++requests == fail_at) {
                    if (mode == "crash") std::_Exit(3);
                    if (mode == "silent") wait_to_be_killed();
                    if (mode == "garbage") reply = "\x01zz\xff 12a\n";
                    // An occupied square (or none at all when every square is taken).
                    if (mode == "illegal") {
                        unsigned taken = 0;
                        while (taken < 64 && line[taken] == '-') ++taken;
                        reply = std::to_string(taken) + "\n";
                    }
                }
                if (reply.empty()) reply = std::to_string(move) + "\n";
            }
            if (!write_all(reply)) return 0;
        }
    }
}
