// A batch of Reversi games stepped together for reinforcement learning: one action per game
// in, observations, legal-action masks, rewards and terminations out, written straight into
// the caller's arrays, finished games reset automatically. No Python here.
//
// Actions are 0..63 (squares, a1 = 0) and 64, the pass, legal only when the side to move has
// no move. An illegal action ends its game as a loss for the side that played it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "board/core.hpp"
#include "env/rng.hpp"

namespace veltrix::env {

inline constexpr unsigned kActionCount = 65;
inline constexpr unsigned kPassAction = 64;
// A game has at most 60 moves and no more passes than moves (two passes in a row end it).
inline constexpr std::size_t kMaxGameActions = 128;

// What follows the step that ends a game (the modes of Gymnasium 1.x vector environments).
enum class AutoReset : std::uint8_t {
    NextStep,  // the ending step shows the final position; the next step resets and ignores its action
    SameStep,  // the ending step resets at once; the final position goes to a separate array
};

enum class RewardKind : std::uint8_t {
    WinLoss,         // +1 / 0 / -1 for the side that moved
    DiscDifference,  // the mover's discs minus the other side's, at the end
};

struct BatchOptions {
    bool empty_plane = true;   // a plane of the empty squares after the two disc planes
    bool legal_plane = false;  // a plane of the legal moves last
    AutoReset autoreset = AutoReset::NextStep;
    RewardKind reward = RewardKind::WinLoss;
    bool record_games = false;  // keep every finished game (moves and result) until taken
    // A random opponent (drawn from the batch's generator) replies to every agent move, so that
    // the agent, playing `agent_turn`, only ever sees its own turns and earns its own rewards.
    bool random_opponent = false;
    board::Turn agent_turn = board::Turn::Black;

    unsigned channels() const { return 2U + (empty_plane ? 1U : 0U) + (legal_plane ? 1U : 0U); }
};

// Caller-owned rows, one per game; any pointer may be null where the caller wants nothing.
struct StepOutputs {
    std::uint8_t* observations = nullptr;        // channels x 8 x 8 bytes per game
    std::uint8_t* masks = nullptr;               // 65 bytes per game, 1 where legal
    float* rewards = nullptr;
    std::uint8_t* terminated = nullptr;          // 1 where a game ended this step
    std::uint8_t* illegal = nullptr;             // 1 where it ended on an illegal action
    std::uint8_t* final_observations = nullptr;  // SameStep: the ending position, where terminated
    std::uint8_t* final_masks = nullptr;         // SameStep: its mask
};

// One finished game, kept when BatchOptions::record_games is set.
struct FinishedGame {
    std::size_t row = 0;
    std::string actions;  // one byte per action (64 = pass); the last may be an illegal one
    int black_discs = 0;
    int white_discs = 0;
    bool illegal = false;  // ended on an illegal action by the side to move at the end
    board::Turn offender = board::Turn::Black;
};

// Everything a batch holds, shared by the class below and the step kernels (compiled once per
// move generator: env/batch_kernel.inc).
struct BatchState {
    BatchState(std::size_t size, const BatchOptions& batch_options, std::uint64_t seed)
        : options(batch_options), rng(seed), boards(size), legal(size), pending_reset(size), lengths(size),
          records(size) {}

    BatchOptions options;
    Rng rng;
    std::vector<board::Board> boards;
    std::vector<std::uint64_t> legal;           // legal moves of the side to move, per game
    std::vector<std::uint8_t> pending_reset;    // NextStep: the game ended at the last step
    std::vector<std::uint8_t> lengths;          // actions in the record of each game
    std::vector<std::array<std::uint8_t, kMaxGameActions>> records;
    std::vector<FinishedGame> finished;
};

// The hot loops, one copy per move generator.
namespace portable_kernel {
void step(BatchState& state, const std::int64_t* actions, const StepOutputs& out);
void sample(BatchState& state, std::int64_t* actions);
void write_all(const BatchState& state, const StepOutputs& out);
void restart_all(BatchState& state);
}  // namespace portable_kernel
namespace avx2_kernel {
void step(BatchState& state, const std::int64_t* actions, const StepOutputs& out);
void sample(BatchState& state, std::int64_t* actions);
void write_all(const BatchState& state, const StepOutputs& out);
void restart_all(BatchState& state);
}  // namespace avx2_kernel

class GameBatch {
public:
    GameBatch(std::size_t size, const BatchOptions& options, std::uint64_t seed);

    std::size_t size() const { return state_.boards.size(); }
    const BatchOptions& options() const { return state_.options; }
    std::size_t observation_bytes() const { return std::size_t{state_.options.channels()} * 64; }

    // Every game back at the initial position, the generator reseeded when `seed` is given.
    void reset(const std::uint64_t* seed, const StepOutputs& out);

    // The first row whose action is not legal there (any action is accepted in a row waiting
    // for its reset), or size() when all are legal.
    std::size_t first_illegal(const std::int64_t* actions) const;

    // Steps every game by its action; the outputs of every row are written.
    void step(const std::int64_t* actions, const StepOutputs& out);

    // One uniformly drawn legal action per game (64 where the pass is the only one, and in
    // rows waiting for their reset), from the batch's own generator.
    void sample_legal_actions(std::int64_t* actions);

    // Interop: one game's position and whether it waits for its reset.
    const board::Board& board(std::size_t row) const { return state_.boards[row]; }
    bool awaiting_reset(std::size_t row) const { return state_.pending_reset[row] != 0; }
    // Replaces one game's position (sound, as the caller checks), starting a new record.
    void set_board(std::size_t row, const board::Board& position);
    // The actions of one game since its start or its last set_board (one byte each, 64 = pass).
    std::string actions(std::size_t row) const;
    // Writes every row's observation and mask (null pointers skipped).
    void write_all(const StepOutputs& out) const;

    std::vector<FinishedGame> take_finished_games() { return std::exchange(state_.finished, {}); }

private:
    void restart_all();

    BatchState state_;
};

}  // namespace veltrix::env
