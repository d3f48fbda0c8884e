#include "arena/match/game.hpp"

namespace veltrix::arena {

namespace {

// The error of the side to move for a failed move request.
GameError player_fault(PlayerError error, board::Turn side) {
    const bool black = side == board::Turn::Black;
    switch (error) {
        case PlayerError::IoError: return black ? GameError::BlackCrash : GameError::WhiteCrash;
        case PlayerError::ParseError: return black ? GameError::BlackInvalidMove : GameError::WhiteInvalidMove;
        case PlayerError::TimeoutError: return black ? GameError::BlackTimeout : GameError::WhiteTimeout;
        case PlayerError::InvalidBoard: return GameError::UnexpectedError;
    }
    return GameError::UnexpectedError;
}

std::size_t empty_squares(const board::Board& board) { return static_cast<std::size_t>(64 - board.piece_sum()); }

}  // namespace

bool Game::adjudicate() {
    if (adjudication_ == nullptr || !adjudication_->solve || empty_squares(board_) > adjudication_->empties) {
        return false;
    }
    adjudicated_at_ = moves_.size();
    const std::vector<unsigned> line = adjudication_->solve(board_, adjudication_->stop);
    moves_.insert(moves_.end(), line.begin(), line.end());
    return true;
}

Result<void, GameError> Game::play() {
    moves_.reserve(60);
    for (;;) {
        if (board_.is_game_over()) break;
        try {
            if (adjudicate()) break;
        } catch (...) {
            // Abandoned (the batch is stopping) or out of memory: no result for this game.
            return Err{GameError::UnexpectedError};
        }
        if (board_.is_pass()) {
            // The referee passes for the side that cannot move; that player is never asked.
            if (!board_.do_pass()) return Err{GameError::UnexpectedError};
            continue;
        }
        const board::Turn side = board_.turn;
        Player& mover = side == board::Turn::Black ? black_ : white_;
        const auto square = mover.get_move_with_timeout(board_, move_limit_);
        if (!square) {
            if (square.error() == PlayerError::ParseError) reply_ = mover.last_reply();
            return Err{player_fault(square.error(), side)};
        }
        const auto moved = board_.do_move(*square);
        if (!moved) {
            const board::BoardError refusal = moved.error();
            if (refusal == board::BoardError::InvalidPosition || refusal == board::BoardError::InvalidMove) {
                reply_ = mover.last_reply();
                return Err{side == board::Turn::Black ? GameError::BlackInvalidMove : GameError::WhiteInvalidMove};
            }
            return Err{GameError::UnexpectedError};
        }
        moves_.push_back(static_cast<unsigned>(*square));
    }
    const auto winner = board_.get_winner();
    if (!winner) return Err{GameError::UnexpectedError};
    result_ = GameResult{winner.value(), static_cast<std::size_t>(board_.black_piece_num()),
                         static_cast<std::size_t>(board_.white_piece_num())};
    return {};
}

Result<GameResult, GameError> Game::get_result() const {
    if (!result_) return Err{GameError::GameNotOverYet};
    return *result_;
}

}  // namespace veltrix::arena
