// Static scores of a position, always from the point of view of its side to move.
#pragma once

#include <bit>
#include <cstdint>

#include "board/core.hpp"

namespace veltrix::search {

// Scores a position: higher is better for the side to move of the position given.
//
// The built-in evaluators never fail. An evaluator that cannot score (one backed by foreign
// code) reports the fault by throwing; the searches hold nothing that needs unwinding.
class Evaluator {
public:
    virtual ~Evaluator() = default;
    virtual std::int32_t evaluate(const board::Board& board) const = 0;
};

// Disc difference: the mover's discs minus the opponent's, -64..64.
class PieceEvaluator final : public Evaluator {
public:
    static constexpr std::int32_t score(const board::Board& board) {
        return std::popcount(board.player) - std::popcount(board.opponent);
    }
    std::int32_t evaluate(const board::Board& board) const override { return score(board); }
};

// Mobility: how many legal moves the side to move has (0 when it must pass).
class LegalNumEvaluator final : public Evaluator {
public:
    static constexpr std::int32_t score(const board::Board& board) {
        return std::popcount(board::legal_moves(board.player, board.opponent));
    }
    std::int32_t evaluate(const board::Board& board) const override { return score(board); }
};

}  // namespace veltrix::search
