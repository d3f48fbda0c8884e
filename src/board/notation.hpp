// Square names ("a1".."h8") and game transcripts ("f5d6c3"), as Othello game records write them.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "board/core.hpp"
#include "util/result.hpp"

namespace veltrix::board {

// The square named by exactly two characters, a column "a".."h" and a row "1".."8" (either case).
std::optional<unsigned> parse_square(std::string_view name);

// The lower-case name of square `pos`; `pos` must be below 64.
std::string square_name(unsigned pos);

// The first move of a transcript that could not be played: its index among the transcript's
// moves (0 for the first) and its text (two characters, or the one left at the end).
struct TranscriptError {
    enum class Kind { Unparsable, Illegal };
    Kind kind;
    std::size_t index;
    std::string move;
};

// The position after playing `text` from the initial position. Passes are implicit: when the
// side to move has no move (and the game is not over), it passes before the next move is read.
Result<Board, TranscriptError> play_transcript(std::string_view text);

// The transcript of a list of squares (lower case, no separators).
std::string write_transcript(std::span<const unsigned> moves);

}  // namespace veltrix::board
