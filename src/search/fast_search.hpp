// The search for the built-in evaluators: the same chosen move as the reference walk, found
// with move ordering, a transposition table, null-window searches and a last-ply shortcut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "board/core.hpp"

namespace veltrix::search {

enum class BuiltinEvaluator : std::uint8_t { Piece, LegalNum };

// The move the reference walk chooses for `board` with this evaluator and depth.
std::optional<unsigned> fast_get_move(const board::Board& board, std::size_t max_depth, BuiltinEvaluator evaluator);

}  // namespace veltrix::search
