// A batch of games over any even number of workers, each with its own two programs: games
// from openings, one record per game, a per-move time limit, and forfeits instead of errors.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "arena/match/error.hpp"
#include "arena/match/player.hpp"
#include "arena/match/record.hpp"
#include "arena/match/runner.hpp"
#include "board/core.hpp"
#include "util/result.hpp"

namespace veltrix::arena {

// One worker's two programs, one per side; the pool uses a seating from one thread at a time.
class Seating {
public:
    virtual ~Seating() = default;
    virtual Player& player(board::Turn side) = 0;
    // Ends the program playing `side` and starts it afresh, handshake included; false when
    // the new one does not answer (or the batch is being stopped).
    virtual bool restart(board::Turn side) = 0;
};

struct PoolOptions {
    std::size_t games = 0;          // even
    std::vector<Opening> openings;  // empty: every game from the initial position
    Clock::duration move_limit = kMoveTimeLimit;
    bool forfeit = false;  // a failing player loses the game; else the batch fails
    bool progress = true;  // draw a progress bar on standard error
};

// Plays games 0..games-1 and returns their records in that order. Game i starts from opening
// (i / 2) % openings.size(); the first program plays Black in the even games and the second
// in the odd ones, so each opening is played once with each colour. The first half of
// `seatings` has the first program as Black and plays the even games, the second half the odd
// ones, each worker taking the next game of its kind as it becomes free. `seatings` holds an
// even number of seatings, at least two.
//
// Without forfeits the first failing game fails the batch (the lowest-numbered one when
// several fail together) and the other workers are stopped through `interruption->abort`.
// With forfeits a player's failure loses that game for it, and its program is restarted
// before the worker's next game; a program that cannot be restarted loses that game as a
// crash, with no move played, and is tried again before the next. Every worker is joined on
// every path.
Result<std::vector<GameRecord>, ArenaError> play_pool(std::span<Seating* const> seatings, const PoolOptions& options,
                                                      const Interruption* interruption);

}  // namespace veltrix::arena
