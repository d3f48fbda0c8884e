// A minimal fast player program for benchmarks: answers "pong" to "ping" and every position
// with its first legal move. Usage: first_move_player COLOUR ("BLACK" or "WHITE").
#include <string>

#include "line_player.hpp"

int main(int argc, char** argv) {
    const bool white = bench_player::plays_white(argc, argv);
    // "pong" to "ping", else the first legal move of its side.
    return bench_player::serve_lines([white](const std::string& line) -> std::string {
        if (line == "ping") return "pong\n";
        return std::to_string(bench_player::first_move(line, white)) + "\n";
    });
}
