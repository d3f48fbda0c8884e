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
#include <string>

#include "players/line_player.hpp"

namespace {

[[noreturn]] void wait_to_be_killed() {
    for (;;) ::pause();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const std::string mode = argv[1];
    const long fail_at = std::atol(argv[2]);
    const bool white = bench_player::plays_white(argc, argv);
    long requests = 0;
    return bench_player::serve_lines([&](const std::string& line) -> std::string {
        if (line == "ping") {
            if (mode == "no-pong") std::exit(1);
            if (mode == "mute-pong") wait_to_be_killed();
            return "pong\n";
        }
        const unsigned move = bench_player::first_move(line, white);
        if (++requests == fail_at) {
            if (mode == "crash") std::_Exit(3);
            if (mode == "silent") wait_to_be_killed();
            if (mode == "garbage") return "\x01zz\xff 12a\n";
            // An occupied square (or none at all when every square is taken).
            if (mode == "illegal") {
                unsigned taken = 0;
                while (taken < 64 && line[taken] == '-') ++taken;
                return std::to_string(taken) + "\n";
            }
        }
        return std::to_string(move) + "\n";
    });
}
