// One refereed game between two players: the referee keeps the position and decides passes.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "arena/match/error.hpp"
#include "arena/match/player.hpp"
#include "board/core.hpp"
#include "util/result.hpp"

namespace veltrix::arena {

struct GameResult {
    std::optional<board::Turn> winner;  // none: a draw
    std::size_t black_pieces = 0;
    std::size_t white_pieces = 0;
};

class Game {
public:
    // A game from the initial position, Black to move, between the two borrowed players.
    Game(Player& black, Player& white) : black_(black), white_(white) {}
    // A game from `start` (an opening's position), each move limited to `move_limit`.
    Game(Player& black, Player& white, const board::Board& start, Clock::duration move_limit)
        : board_(start), black_(black), white_(white), move_limit_(move_limit) {}

    // Plays to the end and keeps the result; the first failure of a player ends the game.
    Result<void, GameError> play();
    // The result of a finished game; GameNotOverYet before (or after a failed play).
    Result<GameResult, GameError> get_result() const;

    // The position now: the final one, or the one at the failing move.
    const board::Board& board() const { return board_; }
    // The squares played in this game, in order (passes are not listed).
    const std::vector<unsigned>& moves() const { return moves_; }

private:
    board::Board board_;
    Player& black_;
    Player& white_;
    Clock::duration move_limit_ = kMoveTimeLimit;
    std::vector<unsigned> moves_;
    std::optional<GameResult> result_;
};

}  // namespace veltrix::arena
