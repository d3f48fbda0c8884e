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
#include <type_traits>
#include <vector>

#include "board/dispatch.hpp"
#include "board/rays.hpp"
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

// Squares reached from `player` by a run of `mask` squares along one line, both ways (the run
// and the next square beyond it, minus the player's own starting squares), without loops.
template <int Shift>
constexpr std::uint64_t line_moves(std::uint64_t player, std::uint64_t mask) {
    std::uint64_t up = (player << Shift) & mask;
    std::uint64_t down = (player >> Shift) & mask;
    up |= (up << Shift) & mask;
    down |= (down >> Shift) & mask;
    // Squares whose neighbour along the line is also in `mask`, for steps of two.
    const std::uint64_t up_pairs = mask & (mask << Shift);
    const std::uint64_t down_pairs = up_pairs >> Shift;
    up |= up_pairs & (up << 2 * Shift);
    down |= down_pairs & (down >> 2 * Shift);
    up |= up_pairs & (up << 2 * Shift);
    down |= down_pairs & (down >> 2 * Shift);
    return (up << Shift) | (down >> Shift);
}

// Opponent discs flipped along one ray that runs towards the word's high bits, given the
// ray's squares without opponent discs (`stops`): the run of opponent discs from the move
// ends at the lowest stop, which must hold a player disc. Branch-free: the branches would
// be taken at random.
constexpr std::uint64_t up_ray_flips(std::uint64_t ray, std::uint64_t stops, std::uint64_t player) {
    const std::uint64_t outflank = stops & (0 - stops) & player;
    return (outflank - 1) & ray & (0 - static_cast<std::uint64_t>(outflank != 0));
}

// The same along a ray towards the low bits, where the run ends at the highest stop.
constexpr std::uint64_t down_ray_flips(std::uint64_t ray, std::uint64_t stops, std::uint64_t player) {
    // "| 1" spares the zero test: without stops, "& stops" clears the outflank again.
    const std::uint64_t outflank = (std::uint64_t{1} << (std::bit_width(stops | 1) - 1)) & stops & player;
    return (0 - (outflank << 1)) & ray;
}

// Returns `result` from an early exit. Without the empty statement, which the compiler may not
// run speculatively, it computes every test and merges the exits into one branchless block.
constexpr bool keep_exit(bool result) {
    if (!std::is_constant_evaluated()) asm volatile("");
    return result;
}

}  // namespace detail

// Legal moves of the side owning `player` against `opponent`.
constexpr std::uint64_t legal_moves(std::uint64_t player, std::uint64_t opponent) {
    using namespace detail;
    const std::uint64_t side = opponent & kNotEdgeColumns;
    const std::uint64_t moves = line_moves<1>(player, side) | line_moves<8>(player, opponent) |
                                line_moves<7>(player, side) | line_moves<9>(player, side);
    return moves & ~(player | opponent);
}

// Same answer as legal_moves(...) == 0, testing the lines one after another and stopping at
// the first with a move (most positions have a horizontal one).
constexpr bool has_no_move(std::uint64_t player, std::uint64_t opponent) {
    using namespace detail;
    const std::uint64_t empty = ~(player | opponent);
    const std::uint64_t side = opponent & kNotEdgeColumns;
    if (line_moves<1>(player, side) & empty) return keep_exit(false);
    if (line_moves<8>(player, opponent) & empty) return keep_exit(false);
    if (line_moves<9>(player, side) & empty) return keep_exit(false);
    return (line_moves<7>(player, side) & empty) == 0;
}

// Every opponent disc flipped when the mover plays on square `pos`.
constexpr std::uint64_t flips_at(unsigned pos, std::uint64_t player, std::uint64_t opponent) {
    using namespace detail;
    const SquareRays& rays = kRays[pos];
    const std::uint64_t open = ~opponent;
    // A disc on both words is an opponent disc that cannot close a run.
    player &= open;
    // With the rows in reverse order, the vertical and diagonal rays towards the low bits are
    // rays towards the high bits from the mirrored square, where the cheaper test works.
    const SquareRays& mirrored = kRays[pos ^ 56];
    const std::uint64_t open_r = __builtin_bswap64(open);
    const std::uint64_t player_r = __builtin_bswap64(player);
    const std::uint64_t down_r = up_ray_flips(mirrored.up[1], mirrored.up[1] & open_r, player_r) |
                                 up_ray_flips(mirrored.up[2], mirrored.up[2] & open_r, player_r) |
                                 up_ray_flips(mirrored.up[3], mirrored.up[3] & open_r, player_r);
    return up_ray_flips(rays.up[0], rays.up[0] & open, player) | up_ray_flips(rays.up[1], rays.up[1] & open, player) |
           up_ray_flips(rays.up[2], rays.up[2] & open, player) | up_ray_flips(rays.up[3], rays.up[3] & open, player) |
           down_ray_flips(rays.down[0], rays.down[0] & open, player) | __builtin_bswap64(down_r);
}

// The same for the single-bit `move`.
constexpr std::uint64_t flips(std::uint64_t move, std::uint64_t player, std::uint64_t opponent) {
    return flips_at(first_square(move), player, opponent);
}

// The same answers through the path chosen at load (board/dispatch.hpp), for callers that run
// once per Python call or per move; hot loops use one path's functions directly.
inline std::uint64_t selected_legal_moves(std::uint64_t player, std::uint64_t opponent) {
#if VELTRIX_AVX2_PATH
    if (avx2_selected()) return avx2::call_legal_moves(player, opponent);
#endif
    return legal_moves(player, opponent);
}

inline std::uint64_t selected_flips_at(unsigned pos, std::uint64_t player, std::uint64_t opponent) {
#if VELTRIX_AVX2_PATH
    if (avx2_selected()) return avx2::call_flips_at(pos, player, opponent);
#endif
    return flips_at(pos, player, opponent);
}

inline bool selected_has_no_move(std::uint64_t player, std::uint64_t opponent) {
#if VELTRIX_AVX2_PATH
    if (avx2_selected()) return avx2::call_legal_moves(player, opponent) == 0;
#endif
    return has_no_move(player, opponent);
}

struct Board {
    std::uint64_t player = kInitialPlayer;      // discs of the side to move
    std::uint64_t opponent = kInitialOpponent;  // discs of the other side
    Turn turn = Turn::Black;

    std::uint64_t get_legal_moves() const { return selected_legal_moves(player, opponent); }
    bool is_legal_move(unsigned pos) const { return pos < 64 && (get_legal_moves() & square_bit(pos)) != 0; }
    bool is_pass() const { return selected_has_no_move(player, opponent); }
    // Out of line, so that the second side is only looked at when the first cannot move.
    bool is_game_over() const;

    // The position after a move that is known to be legal (no checks: hot paths only).
    Board after_move(unsigned pos) const {
        const std::uint64_t m = square_bit(pos);
        const std::uint64_t f = selected_flips_at(pos, player, opponent);
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

// The portable path under the names the AVX2 path uses (board/moves_avx2.hpp), for code
// compiled once per path.
namespace portable {
using board::flips;
using board::flips_at;
using board::has_no_move;
using board::legal_moves;

constexpr Board after_move(const Board& b, unsigned pos) {
    const std::uint64_t m = square_bit(pos);
    const std::uint64_t f = flips_at(pos, b.player, b.opponent);
    return Board{b.opponent ^ f, b.player ^ (m | f), opposite(b.turn)};
}
}  // namespace portable

}  // namespace veltrix::board
