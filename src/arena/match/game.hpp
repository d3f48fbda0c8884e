// One refereed game between two players: the referee keeps the position and decides passes.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "arena/match/error.hpp"
#include "arena/match/player.hpp"
#include "board/core.hpp"
#include "search/stop_check.hpp"
#include "util/result.hpp"

namespace veltrix::arena {

struct GameResult {
    std::optional<board::Turn> winner;  // none: a draw
    std::size_t black_pieces = 0;
    std::size_t white_pieces = 0;
};

// Plays a position out perfectly (the exact solve's move at every turn) and returns the
// squares played; `stop` may throw to abandon it. Supplied by the caller, so that the arena
// core does not depend on the search.
using PerfectPlayout = std::function<std::vector<unsigned>(board::Board&, const search::StopCheck&)>;

// Exact adjudication: once `empties` or fewer squares are empty, `solve` ends the game.
struct Adjudication {
    std::size_t empties = 0;
    PerfectPlayout solve;
    search::StopCheck stop;
};

class Game {
public:
    // A game from the initial position, Black to move, between the two borrowed players.
    Game(Player& black, Player& white) : black_(black), white_(white) {}
    // A game from `start` (an opening's position), each move limited to `move_limit`.
    // With `adjudication` (borrowed, may be null) the game is solved exactly from its
    // number of empty squares on, no player asked.
    Game(Player& black, Player& white, const board::Board& start, Clock::duration move_limit,
         const Adjudication* adjudication = nullptr)
        : board_(start), black_(black), white_(white), move_limit_(move_limit), adjudication_(adjudication) {}

    // Plays to the end and keeps the result; the first failure of a player ends the game.
    Result<void, GameError> play();
    // The result of a finished game; GameNotOverYet before (or after a failed play).
    Result<GameResult, GameError> get_result() const;

    // The position now: the final one, or the one at the failing move.
    const board::Board& board() const { return board_; }
    // The squares played in this game, in order (passes are not listed).
    const std::vector<unsigned>& moves() const { return moves_; }
    // The number of moves the players made before the solver took over; none when it did not.
    std::optional<std::size_t> adjudicated_at() const { return adjudicated_at_; }
    // The failing player's reply, for a game ended by an illegal or unreadable move.
    const std::optional<std::string>& reply() const { return reply_; }

private:
    board::Board board_;
    Player& black_;
    Player& white_;
    Clock::duration move_limit_ = kMoveTimeLimit;
    // Solves the game out when it has few enough empty squares; true when it did.
    bool adjudicate();

    const Adjudication* adjudication_ = nullptr;
    std::vector<unsigned> moves_;
    std::optional<std::size_t> adjudicated_at_;
    std::optional<std::string> reply_;
    std::optional<GameResult> result_;
};

}  // namespace veltrix::arena
