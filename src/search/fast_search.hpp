// The search for the built-in evaluators: the same chosen move as the reference walk, found
// with move ordering, a transposition table, null-window searches and shortcuts near leaves.
//
// Why the choice is the same: the reference root picks the lowest square among the moves of
// highest exact negamax value (a child that cannot beat the running best is only bounded,
// never chosen). Here each root move is tested with a null window against the running best
// (against best - 1 for a lower square, which wins ties) and searched exactly only when it
// beats it. Every inner value is a sound fail-soft bound of the same depth-limited negamax;
// table entries are used for cut-offs only at the same remaining depth (or when every line
// ends before the depth runs out, where the depth no longer matters).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "board/core.hpp"
#include "search/stop_check.hpp"

namespace veltrix::search {

enum class BuiltinEvaluator : std::uint8_t { Piece, LegalNum };

// The move the reference walk chooses for `board` with this evaluator and depth. `nodes`, if
// given, receives the number of positions visited (for benchmarks). `stop` is called every
// few thousand positions and may throw to abandon the search.
std::optional<unsigned> fast_get_move(const board::Board& board, std::size_t max_depth, BuiltinEvaluator evaluator,
                                      std::uint64_t* nodes = nullptr, const StopCheck& stop = {});

}  // namespace veltrix::search
