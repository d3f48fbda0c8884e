// One external player program behind a writer and a line reader, asked for moves under a
// time limit.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

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

    // What the program answered to the last request: its line (cut to a few dozen
    // characters), "" when its output ended, none when it did not answer (or the request
    // could not be sent).
    const std::optional<std::string>& last_reply() const { return last_reply_; }

private:
    std::unique_ptr<LineWriter> writer_;
    std::unique_ptr<LineReader> reader_;
    std::size_t stale_replies_ = 0;  // replies still owed to requests that timed out
    std::optional<std::string> last_reply_;
};

}  // namespace veltrix::arena
