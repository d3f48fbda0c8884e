// The batch runner: n games over two player pairs, one worker thread per pair.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "arena/match/error.hpp"
#include "arena/match/game.hpp"
#include "arena/match/player.hpp"
#include "arena/match/record.hpp"
#include "board/core.hpp"
#include "util/result.hpp"

namespace veltrix::arena {

// A black player and a white player; the first of a pair always plays Black.
struct PlayerPair {
    Player* black;
    Player* white;
};

struct GameEntry {
    PlayerOrder order;
    GameResult result;
};

// How the caller of a long batch asks it to stop (Ctrl-C) while it waits for the workers.
struct Interruption {
    std::function<bool()> requested;  // polled on the calling thread, a few times a second
    std::function<void()> abort;      // unblocks the workers: kills the programs, shuts the sockets
};

class Runner {
public:
    // pairs[0] is the Player1Black pair, pairs[1] the Player2Black pair.
    explicit Runner(std::array<PlayerPair, 2> pairs);

    // Plays n games (half on each pair, in parallel) and appends one entry per game; a failed
    // batch appends nothing. The first failure in pair order is the one reported: a failure
    // of the first worker stops the second (through `abort`, whose games would be discarded
    // anyway), while a failure of the second lets the first play on, since an error of the
    // first would take precedence. Both workers are joined on every path.
    Result<void, ArenaError> play_n(std::size_t n, const Interruption* interruption = nullptr);

    const std::vector<GameEntry>& results() const { return results_; }

private:
    std::array<PlayerPair, 2> pairs_;
    std::vector<GameEntry> results_;
};

}  // namespace veltrix::arena
