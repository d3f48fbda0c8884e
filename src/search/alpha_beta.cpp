// Dispatch between the reference walk and the fast path for the built-in evaluators.
#include "search/alpha_beta.hpp"

#include "search/fast_search.hpp"
#include "search/plain_search.hpp"

namespace veltrix::search {

AlphaBetaSearch::AlphaBetaSearch(std::unique_ptr<Evaluator> evaluator, std::size_t max_depth)
    : evaluator_(std::move(evaluator)), max_depth_(max_depth) {}

std::optional<unsigned> AlphaBetaSearch::get_move(const board::Board& board, const StopCheck& stop) const {
    if (dynamic_cast<const PieceEvaluator*>(evaluator_.get()) != nullptr) {
        return fast_get_move(board, max_depth_, BuiltinEvaluator::Piece, nullptr, stop);
    }
    if (dynamic_cast<const LegalNumEvaluator*>(evaluator_.get()) != nullptr) {
        return fast_get_move(board, max_depth_, BuiltinEvaluator::LegalNum, nullptr, stop);
    }
    PollingCount count(stop);
    return plain::get_move(*evaluator_, board, max_depth_, count);
}

}  // namespace veltrix::search
