// The position as an SVG picture: discs, coordinates, legal moves and the side to move.
#pragma once

#include <string>

#include "board/core.hpp"
#include "util/result.hpp"

namespace veltrix::board {

// The SVG document of a sound position; InvalidState when a square is in both words.
Result<std::string, BoardError> board_svg(const Board& board);

}  // namespace veltrix::board
