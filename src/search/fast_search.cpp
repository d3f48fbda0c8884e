#include "search/fast_search.hpp"

#include "search/evaluator.hpp"
#include "search/plain_search.hpp"

namespace veltrix::search {

std::optional<unsigned> fast_get_move(const board::Board& board, std::size_t max_depth, BuiltinEvaluator evaluator) {
    NoNodeCount count;
    if (evaluator == BuiltinEvaluator::Piece) return plain::get_move(PieceEvaluator{}, board, max_depth, count);
    return plain::get_move(LegalNumEvaluator{}, board, max_depth, count);
}

}  // namespace veltrix::search
