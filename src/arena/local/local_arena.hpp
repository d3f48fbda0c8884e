// Matches between two player programs run as child processes on this machine.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "arena/match/error.hpp"
#include "arena/match/pool.hpp"
#include "arena/match/record.hpp"
#include "util/result.hpp"

namespace veltrix::arena {

struct ArenaStats {
    std::size_t wins1 = 0;  // games won by the first program
    std::size_t wins2 = 0;  // games won by the second program
    std::size_t draws = 0;
};

struct ArenaPieces {
    std::size_t pieces1 = 0;  // final discs of the first program, summed over its games
    std::size_t pieces2 = 0;
};

class LocalArena {
public:
    // Each command is a program followed by its arguments; nothing is started yet.
    LocalArena(std::vector<std::string> command1, std::vector<std::string> command2)
        : command1_(std::move(command1)), command2_(std::move(command2)) {}

    // Starts each program once per colour, plays n games and adds them to the totals. A
    // failed batch leaves the totals as they were. `interrupt_requested`, when given, is
    // polled on the calling thread a few times a second; once it answers true the batch
    // stops and fails with Interrupted. Every process is killed and reaped on every path.
    Result<void, ArenaError> play_n(std::size_t n, const std::function<bool()>& interrupt_requested = {});

    // Plays options.games games on `concurrency` workers at once (even, at least 2; no more
    // are started than there are games), each worker with its own two programs, and returns
    // one record per game in game order; the games are added to the totals. A failed batch
    // leaves the totals as they were. Interruption and reaping as for play_n.
    Result<std::vector<GameRecord>, ArenaError> play(const PoolOptions& options, std::size_t concurrency,
                                                     const std::function<bool()>& interrupt_requested = {});

    const ArenaStats& stats() const { return stats_; }
    const ArenaPieces& pieces() const { return pieces_; }

private:
    // Adds one game, played with `order`, to `stats` and `pieces`.
    static void tally(PlayerOrder order, const GameResult& game, ArenaStats& stats, ArenaPieces& pieces);
    void add_totals(const ArenaStats& stats, const ArenaPieces& pieces);

    std::vector<std::string> command1_;
    std::vector<std::string> command2_;
    ArenaStats stats_;
    ArenaPieces pieces_;
};

}  // namespace veltrix::arena
