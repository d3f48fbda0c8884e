// The batch engine: games over any even number of workers, each with its own two programs;
// games from openings, one record per game, a per-move time limit, forfeits instead of errors.
// Every batch of the arenas runs on it (the fixed two-pair batch too, see runner.hpp).
#pragma once

#include <cstddef>
#include <optional>
#include <functional>
#include <span>
#include <vector>

#include "arena/match/error.hpp"
#include "arena/match/player.hpp"
#include "arena/match/record.hpp"
#include "board/core.hpp"
#include "util/result.hpp"

namespace veltrix::arena {

// How the caller of a long batch asks it to stop (Ctrl-C) while it waits for the workers.
struct Interruption {
    std::function<bool()> requested;  // polled on the calling thread, a few times a second
    std::function<void()> abort;      // unblocks the workers: kills the programs, shuts the sockets
};

// One worker's two programs, one per side; the pool uses a seating from one thread at a time.
class Seating {
public:
    virtual ~Seating() = default;
    virtual Player& player(board::Turn side) = 0;
    // Ends the program playing `side` and starts it afresh, handshake included; false when
    // the new one does not answer (or the batch is being stopped).
    virtual bool restart(board::Turn side) = 0;
};

// The order in which a batch returns its records. It also decides which failure a failing
// batch reports when several games fail: the first one in this order.
enum class RecordOrder : std::uint8_t {
    ByGame,  // game 0, 1, 2, ...
    ByPair,  // the games with the first program as Black (0, 2, 4, ...), then the others (1, 3, ...)
};

struct PoolOptions {
    std::size_t games = 0;          // even
    std::vector<Opening> openings;  // empty: every game from the initial position
    Clock::duration move_limit = kMoveTimeLimit;
    bool forfeit = false;  // a failing player loses the game; else the batch fails
    bool progress = true;  // draw a progress bar on standard error
    RecordOrder order = RecordOrder::ByGame;
    // Exact adjudication: from this many empty squares on, `solve` ends each game (on the
    // worker's thread, no player asked); none: every game is played out.
    std::optional<std::size_t> adjudicate_empties;
    PerfectPlayout solve;
    // Told, on the calling thread and never concurrently, how many games have finished so far:
    // soon after games finish (several finishing together are told once) and, in a batch that
    // succeeds, once more at the end with all of them. Returning false stops the batch, which
    // then ends as interrupted. Empty: no wake-up of the calling thread per game.
    std::function<bool(std::size_t)> on_progress;
};

// Plays games 0..games-1 and returns their records in `options.order`. Game i starts from
// opening (i / 2) % openings.size(); the first program plays Black in the even games and the
// second in the odd ones, so each opening is played once with each colour. The first half of
// `seatings` has the first program as Black and plays the even games, the second half the odd
// ones, each worker taking the next game of its kind as it becomes free. `seatings` holds an
// even number of seatings, at least two.
//
// Without forfeits a failing game fails the batch, and the failure reported is the first in
// record order among the games that fail: the games before it play on (one of them may fail
// too), while a worker whose games all come after it takes no new game, and once every
// running worker is past it, the rest are stopped through `interruption->abort`. With
// forfeits a player's failure loses that game for it, and its program is restarted before
// the worker's next game; a program that cannot be restarted loses that game as a crash,
// with no move played, and is tried again before the next. Every worker is joined on every
// path.
Result<std::vector<GameRecord>, ArenaError> play_pool(std::span<Seating* const> seatings, const PoolOptions& options,
                                                      const Interruption* interruption);

}  // namespace veltrix::arena
