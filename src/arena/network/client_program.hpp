// One player program run by a network client for one of its seats: a child process with
// piped standard input and output, checked with the "ping"/"pong" handshake.
#pragma once

#include <string>
#include <vector>

#include "arena/io/line_io.hpp"
#include "arena/io/pipe_io.hpp"
#include "arena/io/process.hpp"
#include "arena/io/socket.hpp"
#include "util/result.hpp"

namespace veltrix::arena {

enum class ProgramStartFailure { Io, Stopped };
struct ProgramStartError {
    ProgramStartFailure failure = ProgramStartFailure::Io;
    IoError io;
};

// How long a freshly started program may take to answer "ping", as in the local arena.
inline constexpr std::chrono::seconds kPongTimeLimit{5};

class ClientProgram {
public:
    // Runs `command` with the seat word ("BLACK" or "WHITE") appended and waits for its
    // "pong" (kPongTimeLimit at most, less if `stop` says to give up).
    static Result<ClientProgram, ProgramStartError> start(const std::vector<std::string>& command, bool white,
                                                          const StopCheck& stop);

    // Writes all of `bytes` to the program's input: Failed if it has gone or takes nothing
    // for kWriteTimeLimit, Stopped as soon as `stop` says so while it takes nothing.
    WriteResult write(std::string_view bytes, const StopCheck& stop) { return input_.write(bytes, stop); }
    // One line of the program's output, without its "\n".
    ReadStatus read_line(std::string& line, Clock::time_point deadline) { return output_.read_line(line, deadline); }
    // Once output_fd() was reported readable: takes what is there (one read, no wait);
    // false when the read failed.
    bool read_available() { return output_.read_available(); }
    // The next complete line read so far (Timeout when there is none yet); reads nothing.
    ReadStatus buffered_line(std::string& line) { return output_.buffered_line(line); }
    // Asks the program to end at once (no wait).
    void kill() { process_.kill(); }
    // Waits for the program to end; true once it is reaped.
    bool reap() { return process_.wait(); }
    // The program's output, to wait on together with other descriptors.
    int output_fd() const { return output_fd_; }

private:
    ClientProgram(ChildProcess process, UniqueFd input, UniqueFd output)
        : process_(std::move(process)), output_fd_(output.get()), input_(std::move(input)), output_(std::move(output)) {}

    ChildProcess process_;  // killed and reaped when the program goes, if still running
    int output_fd_;         // owned by output_
    PipeWriter input_;
    PipeReader output_;
};

}  // namespace veltrix::arena
