// Fixed-depth negamax with alpha-beta pruning that chooses a move for the side to move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "board/core.hpp"
#include "search/evaluator.hpp"
#include "search/stop_check.hpp"

namespace veltrix::search {

class AlphaBetaSearch {
public:
    AlphaBetaSearch(std::unique_ptr<Evaluator> evaluator, std::size_t max_depth);

    // The lowest square among the best moves, searched max_depth plies below each root move;
    // nothing when the side to move has no legal move. With a built-in evaluator nobody can
    // observe the walk, so a faster search that provably chooses the same move is used.
    // `stop` is called every few thousand positions and may throw to abandon the search.
    std::optional<unsigned> get_move(const board::Board& board, const StopCheck& stop = {}) const;

    const Evaluator& evaluator() const { return *evaluator_; }
    std::size_t max_depth() const { return max_depth_; }

private:
    std::unique_ptr<Evaluator> evaluator_;
    std::size_t max_depth_;
};

}  // namespace veltrix::search
