// One external player program behind a writer and a line reader, asked for moves under a
// time limit.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

#include "arena/match/error.hpp"
#include "arena/io/line_io.hpp"
#include "board/core.hpp"
#include "util/result.hpp"

namespace veltrix::arena {

inline constexpr std::chrono::seconds kMoveTimeLimit{5};

class Player {
public:
    Player(std::unique_ptr<LineWriter> writer, std::unique_ptr<LineReader> reader);

    // Shows the program `board` (its side to move is this player) and waits for its square.
    // A reply that arrives after a timed-out request is consumed and discarded by the next
    // request, never taken as its answer.
    Result<std::size_t, PlayerError> get_move_with_timeout(const board::Board& board,
                                                           Clock::duration limit = kMoveTimeLimit);

private:
    std::unique_ptr<LineWriter> writer_;
    std::unique_ptr<LineReader> reader_;
    std::size_t stale_replies_ = 0;  // replies still owed to requests that timed out
};

}  // namespace veltrix::arena
