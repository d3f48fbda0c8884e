// One refereed game between two players: the referee keeps the position and decides passes.
#pragma once

#include <cstddef>
#include <optional>

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

    // Plays to the end and keeps the result; the first failure of a player ends the game.
    Result<void, GameError> play();
    // The result of a finished game; GameNotOverYet before (or after a failed play).
    Result<GameResult, GameError> get_result() const;

    const board::Board& board() const { return board_; }

private:
    board::Board board_;
    Player& black_;
    Player& white_;
    std::optional<GameResult> result_;
};

}  // namespace veltrix::arena
