// One player program run by a network client for one of its seats: a child process with
// piped standard input and output, checked with the "ping"/"pong" handshake.
#pragma once

#include <string>
#include <vector>
#include <sys/types.h>

#include "arena/line_io.hpp"
#include "arena/socket.hpp"
#include "util/result.hpp"

namespace veltrix::arena {

enum class ProgramStartFailure { Io, Stopped };
struct ProgramStartError {
    ProgramStartFailure failure = ProgramStartFailure::Io;
    IoError io;
};

class ClientProgram {
public:
    // Runs `command` with the seat word ("BLACK" or "WHITE") appended and waits for its
    // "pong" (as long as it takes, unless `stop` says to give up).
    static Result<ClientProgram, ProgramStartError> start(const std::vector<std::string>& command, bool white,
                                                          const StopCheck& stop);

    ClientProgram(ClientProgram&& other) noexcept;
    ClientProgram& operator=(ClientProgram&&) = delete;
    ClientProgram(const ClientProgram&) = delete;
    ~ClientProgram();  // kills and reaps a program still running

    // Writes all of `bytes` to the program's input; false if it has gone.
    bool write(std::string_view bytes);
    // One line of the program's output, with its "\n" if it had one.
    ReadStatus read_line(std::string& line, Clock::time_point deadline);
    // Asks the program to end at once (no wait).
    void kill();
    // Waits for the program to end; true once it is reaped.
    bool reap();

private:
    ClientProgram(pid_t pid, int input, int output) : pid_(pid), input_(input), output_(output) {}
    void close_pipes();

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffered_;  // output read past the last line handed out
};

}  // namespace veltrix::arena
