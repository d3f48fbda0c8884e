#include "arena/local/player_process.hpp"

#include <algorithm>
#include <string_view>

namespace veltrix::arena {

namespace {

// A handshake wait is cut into slices this long so that Ctrl-C is noticed meanwhile.
constexpr std::chrono::milliseconds kHandshakeSlice{50};

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\n\r\v\f";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Starts `command` with its colour appended; nothing when it cannot be started.
std::optional<PlayerProcess> spawn_player(const std::vector<std::string>& command, bool white,
                                          const std::shared_ptr<WakeSignal>& wake) {
    if (command.empty()) return std::nullopt;  // there is no program to run
    std::vector<std::string> argv = command;
    argv.emplace_back(white ? "WHITE" : "BLACK");
    auto child = ChildProcess::spawn(argv);
    if (!child) return std::nullopt;
    PlayerProcess started{std::move(child.value()), nullptr, nullptr, nullptr};
    started.writer = std::make_unique<PipeWriter>(started.process.take_stdin(), wake);
    started.reader = std::make_unique<PipeReader>(started.process.take_stdout(), wake);
    return started;
}

enum class Handshake { Pong, Failed, Interrupted };

// Awaits the program's answer to "ping" until `deadline`, checking for Ctrl-C meanwhile.
Handshake await_pong(PipeReader& reader, Clock::time_point deadline, const std::function<bool()>& interrupted) {
    std::string line;
    for (;;) {
        const Clock::time_point slice = std::min(deadline, Clock::now() + kHandshakeSlice);
        const ReadStatus status = reader.read_line(line, slice);
        if (status == ReadStatus::Line) return trimmed(line) == "pong" ? Handshake::Pong : Handshake::Failed;
        if (status != ReadStatus::Timeout || Clock::now() >= deadline) return Handshake::Failed;
        if (interrupted && interrupted()) return Handshake::Interrupted;
    }
}

}  // namespace

Result<std::vector<PlayerProcess>, ArenaError> start_players(const std::vector<ProgramPlan>& plan,
                                                             const std::shared_ptr<WakeSignal>& wake,
                                                             Clock::duration handshake_limit,
                                                             const std::function<bool()>& interrupted) {
    std::vector<PlayerProcess> processes;
    processes.reserve(plan.size());
    for (const auto& [command, white] : plan) {
        auto started = spawn_player(*command, white, wake);
        if (!started) return Err{ArenaError{ArenaErrorKind::EngineStartError}};
        processes.push_back(std::move(*started));
        if (!processes.back().writer->write("ping\n")) return Err{ArenaError{ArenaErrorKind::EngineStartError}};
    }
    const Clock::time_point deadline = Clock::now() + handshake_limit;
    for (PlayerProcess& process : processes) {
        switch (await_pong(*process.reader, deadline, interrupted)) {
            case Handshake::Pong: break;
            case Handshake::Failed: return Err{ArenaError{ArenaErrorKind::EngineStartError}};
            case Handshake::Interrupted: return Err{ArenaError{ArenaErrorKind::Interrupted}};
        }
        process.player = std::make_unique<Player>(std::move(process.writer), std::move(process.reader));
    }
    return processes;
}

}  // namespace veltrix::arena
