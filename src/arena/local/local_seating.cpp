#include "arena/local/local_seating.hpp"

namespace veltrix::arena {

void LocalSeating::seat(PlayerProcess black, PlayerProcess white) {
    programs_[0] = std::move(black);
    programs_[1] = std::move(white);
}

bool LocalSeating::restart(board::Turn side) {
    std::optional<PlayerProcess>& program = programs_[index(side)];
    // The old program goes first, with its pipes: nothing it still writes can reach the new one.
    if (program) {
        program->player.reset();
        program->process.kill();
        program->process.wait();
        program.reset();
    }
    auto started = start_players({{commands_[index(side)], side == board::Turn::White}}, wake_, handshake_limit_, {});
    if (!started) return false;
    program = std::move(started.value().front());
    return true;
}

void LocalSeating::end() {
    for (auto& program : programs_) {
        if (program) program->process.kill();
    }
    for (auto& program : programs_) {
        if (program) program->process.wait();
    }
}

}  // namespace veltrix::arena
