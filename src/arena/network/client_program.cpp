#include "arena/network/client_program.hpp"

#include <algorithm>

#include "arena/io/time_limits.hpp"

namespace veltrix::arena {

namespace {

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n\v\f";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

Err<ProgramStartError> start_failure(IoError error) {
    return Err(ProgramStartError{ProgramStartFailure::Io, std::move(error)});
}

}  // namespace

Result<ClientProgram, ProgramStartError> ClientProgram::start(const std::vector<std::string>& command, bool white,
                                                              const StopCheck& stop) {
    if (command.empty()) return start_failure(IoError{"InvalidInput", 0, "empty command"});
    std::vector<std::string> argv = command;
    argv.emplace_back(white ? "WHITE" : "BLACK");
    auto process = ChildProcess::spawn(argv);
    if (!process) return start_failure(IoError::from_errno(process.error()));
    UniqueFd input = process.value().take_stdin();
    UniqueFd output = process.value().take_stdout();
    ClientProgram program(std::move(process.value()), std::move(input), std::move(output));
    switch (program.write("ping\n", stop)) {
        case WriteResult::Written: break;
        case WriteResult::Stopped: return Err(ProgramStartError{ProgramStartFailure::Stopped, {}});
        case WriteResult::Failed: return start_failure(IoError::other("Write error"));
    }
    std::string reply;
    const Clock::time_point deadline = Clock::now() + scaled_limit(kPongTimeLimit);
    for (;;) {
        const ReadStatus status = program.read_line(reply, std::min(deadline, Clock::now() + kStopPollInterval));
        if (status == ReadStatus::Timeout) {
            if (stop && stop()) return Err(ProgramStartError{ProgramStartFailure::Stopped, {}});
            if (Clock::now() >= deadline) return start_failure(IoError{"TimedOut", 0, "no pong within 5 seconds"});
            continue;
        }
        if (status == ReadStatus::Error) return start_failure(IoError::other("Read error"));
        if (status != ReadStatus::Line || trimmed(reply) != "pong") {
            return start_failure(IoError::other("ping-pong test failed"));
        }
        return program;
    }
}

}  // namespace veltrix::arena
