// The batch's bookkeeping; the loops over its games run on the move generator chosen at load.
#include "env/batch.hpp"

#include "board/dispatch.hpp"

namespace veltrix::env {

namespace {

bool use_avx2() {
#if VELTRIX_AVX2_PATH
    return board::avx2_selected();
#else
    return false;
#endif
}

}  // namespace

GameBatch::GameBatch(std::size_t size, const BatchOptions& options, std::uint64_t seed) : state_(size, options, seed) {
    restart_all();
}

void GameBatch::restart_all() {
#if VELTRIX_AVX2_PATH
    if (use_avx2()) return avx2_kernel::restart_all(state_);
#endif
    portable_kernel::restart_all(state_);
}

void GameBatch::reset(const std::uint64_t* seed, const StepOutputs& out) {
    if (seed != nullptr) state_.rng.reseed(*seed);
    restart_all();
    write_all(out);
}

std::size_t GameBatch::first_illegal(const std::int64_t* actions) const {
    for (std::size_t row = 0; row < size(); ++row) {
        if (state_.pending_reset[row] != 0) continue;
        const std::int64_t action = actions[row];
        const std::uint64_t legal = state_.legal[row];
        const bool ok = action == kPassAction ? legal == 0
                                              : (static_cast<std::uint64_t>(action) < 64 &&
                                                 (legal & board::square_bit(static_cast<unsigned>(action))) != 0);
        if (!ok) return row;
    }
    return size();
}

void GameBatch::step(const std::int64_t* actions, const StepOutputs& out) {
#if VELTRIX_AVX2_PATH
    if (use_avx2()) return avx2_kernel::step(state_, actions, out);
#endif
    portable_kernel::step(state_, actions, out);
}

void GameBatch::sample_legal_actions(std::int64_t* actions) {
#if VELTRIX_AVX2_PATH
    if (use_avx2()) return avx2_kernel::sample(state_, actions);
#endif
    portable_kernel::sample(state_, actions);
}

void GameBatch::write_all(const StepOutputs& out) const {
#if VELTRIX_AVX2_PATH
    if (use_avx2()) return avx2_kernel::write_all(state_, out);
#endif
    portable_kernel::write_all(state_, out);
}

void GameBatch::set_board(std::size_t row, const board::Board& position) {
    state_.boards[row] = position;
    state_.legal[row] = board::selected_legal_moves(position.player, position.opponent);
    state_.pending_reset[row] = 0;
    state_.lengths[row] = 0;
}

std::string GameBatch::actions(std::size_t row) const {
    return std::string(reinterpret_cast<const char*>(state_.records[row].data()), state_.lengths[row]);
}

}  // namespace veltrix::env
