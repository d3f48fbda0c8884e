// Player programs run as child processes: started with their colour, checked with the
// "ping"/"pong" handshake, and wrapped in a Player once they answered.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arena/io/pipe_io.hpp"
#include "arena/io/process.hpp"
#include "arena/match/error.hpp"
#include "arena/match/player.hpp"
#include "util/result.hpp"

namespace veltrix::arena {

// How long a freshly started program may take to answer "ping".
inline constexpr std::chrono::seconds kHandshakeTimeLimit{5};
// The bound on it however long each move may take.
inline constexpr std::chrono::seconds kLongestHandshake{60};

// One started program: its process and the two ends of its pipes.
struct PlayerProcess {
    ChildProcess process;
    std::unique_ptr<PipeWriter> writer;
    std::unique_ptr<PipeReader> reader;
    std::unique_ptr<Player> player;  // takes over the pipes once the handshake succeeded
};

// A program to start: its command (program and arguments) and whether it plays White.
using ProgramPlan = std::pair<const std::vector<std::string>*, bool>;

// Starts every program of `plan` at once, then awaits all their "pong"s until one common
// deadline; `interrupted`, when given, is asked every few tens of milliseconds meanwhile.
// On failure the programs already started are killed and reaped before this returns.
Result<std::vector<PlayerProcess>, ArenaError> start_players(const std::vector<ProgramPlan>& plan,
                                                             const std::shared_ptr<WakeSignal>& wake,
                                                             Clock::duration handshake_limit,
                                                             const std::function<bool()>& interrupted);

}  // namespace veltrix::arena
