// One worker's two programs for the pool: started together, restarted one at a time.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arena/io/pipe_io.hpp"
#include "arena/local/player_process.hpp"
#include "arena/match/pool.hpp"

namespace veltrix::arena {

class LocalSeating final : public Seating {
public:
    // `black` and `white` are the commands of the two sides; both must outlive the seating.
    LocalSeating(const std::vector<std::string>& black, const std::vector<std::string>& white,
               std::shared_ptr<WakeSignal> wake, Clock::duration handshake_limit)
        : commands_{&black, &white}, wake_(std::move(wake)), handshake_limit_(handshake_limit) {}

    // The plan that starts this seating's two programs, Black first.
    std::vector<ProgramPlan> plan() const { return {{commands_[0], false}, {commands_[1], true}}; }
    // Takes over the two programs that `plan()` started.
    void seat(PlayerProcess black, PlayerProcess white);

    Player& player(board::Turn side) override { return *programs_[index(side)]->player; }
    bool restart(board::Turn side) override;

    // Kills both programs (they die side by side), then reaps them.
    void end();

private:
    static constexpr std::size_t index(board::Turn side) { return side == board::Turn::Black ? 0 : 1; }

    std::array<const std::vector<std::string>*, 2> commands_;
    std::shared_ptr<WakeSignal> wake_;
    Clock::duration handshake_limit_;
    std::array<std::optional<PlayerProcess>, 2> programs_;  // none after a failed restart
};

}  // namespace veltrix::arena
