// Plays a position to its end as perfect players would: the exact solve's move at every turn.
// Used to adjudicate arena games once few squares are left.
#pragma once

#include <vector>

#include "board/core.hpp"
#include "search/stop_check.hpp"

namespace veltrix::search {

// Plays `board` to the end of the game and returns the squares played, passes left out (the
// referee's rule: a side without a move passes). Each move is the one AlphaBetaSearch with the
// disc evaluator chooses at full depth (the lowest square among those of best final disc
// difference), so two programs that solve exactly would play the very same line. `stop` is
// called every few thousand positions and may throw to abandon the playout; `board` is then
// left at some position of the line.
std::vector<unsigned> perfect_playout(board::Board& board, const StopCheck& stop = {});

}  // namespace veltrix::search
