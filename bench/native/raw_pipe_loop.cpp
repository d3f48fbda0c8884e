// The raw limit of the arena's move exchange: one thread, two player processes, a plain loop
// that writes a board line and blocks reading the answer. Prints the moves per second.
// Usage: raw_pipe_loop GAMES PROGRAM [ARG ...]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "arena/io/process.hpp"
#include "board/core.hpp"

namespace {

struct Program {
    veltrix::arena::ChildProcess process;
    veltrix::UniqueFd in;
    veltrix::UniqueFd out;
    std::string pending;
};

void make_blocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK); }

std::string round_trip(Program& program, const std::string& request) {
    if (::write(program.in.get(), request.data(), request.size()) != static_cast<ssize_t>(request.size())) std::exit(2);
    char chunk[256];
    std::size_t newline;
    while ((newline = program.pending.find('\n')) == std::string::npos) {
        const ssize_t n = ::read(program.out.get(), chunk, sizeof chunk);
        if (n <= 0) std::exit(3);
        program.pending.append(chunk, static_cast<std::size_t>(n));
    }
    std::string line = program.pending.substr(0, newline);
    program.pending.erase(0, newline + 1);
    return line;
}

Program start(std::vector<std::string> argv, const char* colour) {
    argv.emplace_back(colour);
    auto child = veltrix::arena::ChildProcess::spawn(argv);
    if (!child) std::exit(1);
    Program program{std::move(child.value()), {}, {}, {}};
    program.in = program.process.take_stdin();
    program.out = program.process.take_stdout();
    make_blocking(program.in.get());
    make_blocking(program.out.get());
    if (round_trip(program, "ping\n") != "pong") std::exit(4);
    return program;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 1;
    const long games = std::atol(argv[1]);
    const std::vector<std::string> command(argv + 2, argv + argc);
    Program black = start(command, "BLACK");
    Program white = start(command, "WHITE");
    long moves = 0;
    const auto started = std::chrono::steady_clock::now();
    for (long game = 0; game < games; ++game) {
        veltrix::board::Board board;
        while (!board.is_game_over()) {
            if (board.is_pass()) {
                board = board.after_pass();
                continue;
            }
            Program& mover = board.turn == veltrix::board::Turn::Black ? black : white;
            const std::string reply = round_trip(mover, board.get_board_line().value() + "\n");
            if (!board.do_move(std::strtoul(reply.c_str(), nullptr, 10))) return 5;
            ++moves;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%ld %.6f\n", moves, seconds);
    return 0;
}
