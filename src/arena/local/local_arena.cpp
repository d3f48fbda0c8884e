#include "arena/local/local_arena.hpp"

#include <array>
#include <memory>
#include <optional>
#include <string_view>

#include "arena/io/pipe_io.hpp"
#include "arena/match/player.hpp"
#include "arena/io/process.hpp"
#include "arena/match/runner.hpp"

namespace veltrix::arena {

namespace {

// A handshake wait is cut into slices this long so that Ctrl-C is noticed meanwhile.
constexpr std::chrono::milliseconds kHandshakeSlice{50};

// One started program: its process and the two ends of its pipes.
struct PlayerProcess {
    ChildProcess process;
    std::unique_ptr<PipeWriter> writer;
    std::unique_ptr<PipeReader> reader;
    std::unique_ptr<Player> player;  // takes over the pipes once the handshake succeeded
};

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

Result<void, ArenaError> LocalArena::play_n(std::size_t n, const std::function<bool()>& interrupt_requested) {
    const auto wake = WakeSignal::create();
    if (!wake) return Err{ArenaError{ArenaErrorKind::EngineStartError}};

    // Start order: the first program as Black, the second as White, then the reverse. All
    // four start at once and answer their "ping" meanwhile; a failure of any one fails the
    // start, and the processes already running are killed and reaped on the way out.
    const std::array<std::pair<const std::vector<std::string>*, bool>, 4> plan = {{
        {&command1_, false}, {&command2_, true}, {&command1_, true}, {&command2_, false}}};
    std::vector<PlayerProcess> processes;
    processes.reserve(plan.size());
    for (const auto& [command, white] : plan) {
        auto started = spawn_player(*command, white, wake);
        if (!started) return Err{ArenaError{ArenaErrorKind::EngineStartError}};
        processes.push_back(std::move(*started));
        if (!processes.back().writer->write("ping\n")) return Err{ArenaError{ArenaErrorKind::EngineStartError}};
    }
    const Clock::time_point deadline = Clock::now() + kHandshakeTimeLimit;
    for (PlayerProcess& process : processes) {
        switch (await_pong(*process.reader, deadline, interrupt_requested)) {
            case Handshake::Pong: break;
            case Handshake::Failed: return Err{ArenaError{ArenaErrorKind::EngineStartError}};
            case Handshake::Interrupted: return Err{ArenaError{ArenaErrorKind::Interrupted}};
        }
        process.player = std::make_unique<Player>(std::move(process.writer), std::move(process.reader));
    }

    // Pair 0: first program Black, second White; pair 1: second program Black, first White.
    Runner runner({PlayerPair{processes[0].player.get(), processes[1].player.get()},
                   PlayerPair{processes[3].player.get(), processes[2].player.get()}});
    Interruption interruption{interrupt_requested, [&] {
                                  wake->fire();  // wakes workers blocked on pipes that stay open
                                  for (PlayerProcess& process : processes) process.process.kill();
                              }};
    const auto played = runner.play_n(n, interrupt_requested ? &interruption : nullptr);
    if (!played) return Err{played.error()};

    ArenaStats stats;
    ArenaPieces pieces;
    for (const GameEntry& entry : runner.results()) {
        const GameResult& game = entry.result;
        const bool first_is_black = entry.order == PlayerOrder::Player1Black;
        pieces.pieces1 += first_is_black ? game.black_pieces : game.white_pieces;
        pieces.pieces2 += first_is_black ? game.white_pieces : game.black_pieces;
        if (!game.winner) {
            ++stats.draws;
        } else if ((*game.winner == board::Turn::Black) == first_is_black) {
            ++stats.wins1;
        } else {
            ++stats.wins2;
        }
    }
    stats_.wins1 += stats.wins1;
    stats_.wins2 += stats.wins2;
    stats_.draws += stats.draws;
    pieces_.pieces1 += pieces.pieces1;
    pieces_.pieces2 += pieces.pieces2;

    // End the programs in start order; the destructors reap whatever this leaves behind.
    for (PlayerProcess& process : processes) {
        if (!process.process.kill() || !process.process.wait()) return Err{ArenaError{ArenaErrorKind::EngineEndError}};
    }
    return {};
}

}  // namespace veltrix::arena
