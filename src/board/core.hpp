// The rules core: an 8x8 Reversi position as two bitboards relative to the side to move.
//
// Square `pos` (0..63, a1 = 0, h8 = 63, row = pos / 8) is bit 63 - pos of a word, so shifting
// left by 1 moves one column towards "a" and left by 8 one row towards row "1".
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/result.hpp"

namespace veltrix::board {

enum class Turn : std::uint8_t { Black = 0, White = 1 };
enum class Color : std::uint8_t { Empty = 0, Black = 1, White = 2 };

enum class BoardError : std::uint8_t {
    InvalidPosition,
    InvalidMove,
    InvalidPass,
    InvalidState,
    GameNotOverYet,
    InvalidCharactor,
    NoLegalMove,
};

const char* board_error_name(BoardError error);

constexpr Turn opposite(Turn turn) { return static_cast<Turn>(static_cast<std::uint8_t>(turn) ^ 1U); }

// Single-bit masks in ascending position order: entry i is the bit of square i.
inline constexpr std::array<std::uint64_t, 64> kSquareBits = [] {
    std::array<std::uint64_t, 64> bits{};
    for (std::size_t i = 0; i < 64; ++i) bits[i] = 0x8000000000000000ULL >> i;
    return bits;
}();

constexpr std::uint64_t square_bit(unsigned pos) { return kSquareBits[pos]; }
// Position of the lowest-indexed square in a non-empty mask (its most significant bit).
constexpr unsigned first_square(std::uint64_t mask) { return static_cast<unsigned>(std::countl_zero(mask)); }

inline constexpr std::uint64_t kInitialPlayer = 0x0000000810000000ULL;
inline constexpr std::uint64_t kInitialOpponent = 0x0000001008000000ULL;

namespace detail {

inline constexpr std::uint64_t kNotEdgeColumns = 0x7e7e7e7e7e7e7e7eULL;

template <int Shift>
constexpr std::uint64_t shift(std::uint64_t x) {
    if constexpr (Shift > 0) return x << Shift;
    else return x >> -Shift;
}

// Squares reached from `player` by a run of `mask` squares in one direction (the run and
// the next square beyond it, minus the player's own starting squares), without loops.
template <int Shift>
constexpr std::uint64_t direction_moves(std::uint64_t player, std::uint64_t mask) {
    std::uint64_t t = shift<Shift>(player) & mask;
    t |= shift<Shift>(t) & mask;
    const std::uint64_t q = mask & shift<Shift>(mask);
    t |= q & shift<2 * Shift>(t);
    t |= q & shift<2 * Shift>(t);
    return shift<Shift>(t);
}

// Opponent discs flipped in one direction when the mover plays `move`.
template <int Shift>
constexpr std::uint64_t direction_flips(std::uint64_t move, std::uint64_t player, std::uint64_t opponent,
                                        std::uint64_t run_mask) {
    std::uint64_t run = shift<Shift>(move) & run_mask;
    run |= shift<Shift>(run) & run_mask;
    const std::uint64_t q = run_mask & shift<Shift>(run_mask);
    run |= q & shift<2 * Shift>(run);
    run |= q & shift<2 * Shift>(run);
    // The run counts only when the first square past it holds a player disc.
    const std::uint64_t closed = shift<Shift>(run) & player & ~opponent;
    return closed != 0 ? run : 0;
}

}  // namespace detail

// Legal moves of the side owning `player` against `opponent`.
constexpr std::uint64_t legal_moves(std::uint64_t player, std::uint64_t opponent) {
    using namespace detail;
    const std::uint64_t side = opponent & kNotEdgeColumns;
    const std::uint64_t moves = direction_moves<1>(player, side) | direction_moves<-1>(player, side) |
                                direction_moves<8>(player, opponent) | direction_moves<-8>(player, opponent) |
                                direction_moves<7>(player, side) | direction_moves<-7>(player, side) |
                                direction_moves<9>(player, side) | direction_moves<-9>(player, side);
    return moves & ~(player | opponent);
}

// Same answer as legal_moves(...) == 0, testing the direction groups one after another.
constexpr bool has_no_move(std::uint64_t player, std::uint64_t opponent) {
    using namespace detail;
    const std::uint64_t empty = ~(player | opponent);
    const std::uint64_t horizontal = opponent & kNotEdgeColumns;
    if ((direction_moves<1>(player, horizontal) | direction_moves<-1>(player, horizontal)) & empty) return false;
    const std::uint64_t vertical = opponent & 0x00ffffffffffff00ULL;
    if ((direction_moves<8>(player, vertical) | direction_moves<-8>(player, vertical)) & empty) return false;
    const std::uint64_t diagonal = opponent & 0x007e7e7e7e7e7e00ULL;
    if ((direction_moves<9>(player, diagonal) | direction_moves<-9>(player, diagonal)) & empty) return false;
    return ((direction_moves<7>(player, diagonal) | direction_moves<-7>(player, diagonal)) & empty) == 0;
}

// Every opponent disc flipped when the mover plays the single-bit `move`.
constexpr std::uint64_t flips(std::uint64_t move, std::uint64_t player, std::uint64_t opponent) {
    using namespace detail;
    const std::uint64_t side = opponent & kNotEdgeColumns;
    return direction_flips<1>(move, player, opponent, side) | direction_flips<-1>(move, player, opponent, side) |
           direction_flips<8>(move, player, opponent, opponent) |
           direction_flips<-8>(move, player, opponent, opponent) |
           direction_flips<7>(move, player, opponent, side) | direction_flips<-7>(move, player, opponent, side) |
           direction_flips<9>(move, player, opponent, side) | direction_flips<-9>(move, player, opponent, side);
}

struct Board {
    std::uint64_t player = kInitialPlayer;      // discs of the side to move
    std::uint64_t opponent = kInitialOpponent;  // discs of the other side
    Turn turn = Turn::Black;

    std::uint64_t get_legal_moves() const { return legal_moves(player, opponent); }
    bool is_legal_move(unsigned pos) const { return pos < 64 && (get_legal_moves() & square_bit(pos)) != 0; }
    bool is_pass() const { return has_no_move(player, opponent); }
    bool is_game_over() const { return has_no_move(player, opponent) && has_no_move(opponent, player); }

    // The position after a move that is known to be legal (no checks: hot paths only).
    Board after_move(unsigned pos) const {
        const std::uint64_t m = square_bit(pos);
        const std::uint64_t f = flips(m, player, opponent);
        return Board{opponent ^ f, player ^ (m | f), opposite(turn)};
    }
    Board after_pass() const { return Board{opponent, player, opposite(turn)}; }

    Result<void, BoardError> do_move(std::size_t pos);
    Result<void, BoardError> do_pass();

    std::uint64_t black() const { return turn == Turn::Black ? player : opponent; }
    std::uint64_t white() const { return turn == Turn::Black ? opponent : player; }

    int player_piece_num() const { return std::popcount(player); }
    int opponent_piece_num() const { return std::popcount(opponent); }
    int black_piece_num() const { return std::popcount(black()); }
    int white_piece_num() const { return std::popcount(white()); }
    int piece_sum() const { return player_piece_num() + opponent_piece_num(); }
    int diff_piece_num() const { return player_piece_num() - opponent_piece_num(); }

    // Results; each fails with GameNotOverYet while either side can still move.
    Result<std::optional<Turn>, BoardError> get_winner() const;
    Result<bool, BoardError> is_win() const;
    Result<bool, BoardError> is_lose() const;
    Result<bool, BoardError> is_draw() const;
    Result<bool, BoardError> is_black_win() const;
    Result<bool, BoardError> is_white_win() const;

    std::vector<unsigned> get_legal_moves_vec() const;
    std::array<bool, 64> get_legal_moves_tf() const;
    Result<unsigned, BoardError> get_random_move() const;
    // None when the side to move must pass; otherwise one child per legal move, ascending.
    std::optional<std::vector<Board>> get_child_boards() const;

    // Text and vector forms; renderers fail with InvalidState when a square is in both words.
    Result<void, BoardError> set_board_str(std::u32string_view line, Turn new_turn);
    Result<std::string, BoardError> get_board_line() const;
    Result<std::array<std::uint8_t, 64>, BoardError> get_board_vec_black() const;
    Result<std::array<std::uint8_t, 64>, BoardError> get_board_vec_turn() const;
    // Planes: player discs, opponent discs, empty squares; indexed [plane][row][column].
    Result<std::array<std::array<std::array<std::int32_t, 8>, 8>, 3>, BoardError> get_board_matrix() const;
    Result<std::string, BoardError> to_string() const;

    bool is_sound() const { return (player & opponent) == 0; }
    friend bool operator==(const Board&, const Board&) = default;
};

}  // namespace veltrix::board
