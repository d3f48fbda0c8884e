// The fixed batch of the two-program arenas: n games over two player pairs, one worker per
// pair, on the batch engine of pool.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "arena/match/error.hpp"
#include "arena/match/game.hpp"
#include "arena/match/player.hpp"
#include "arena/match/pool.hpp"
#include "arena/match/record.hpp"
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

class Runner {
public:
    // pairs[0] is the Player1Black pair, pairs[1] the Player2Black pair.
    explicit Runner(std::array<PlayerPair, 2> pairs);

    // Plays n games, half on each pair, in parallel, from the initial position with the
    // usual move limit and a progress bar, and appends one entry per game: the first pair's
    // games, then the second's. A failed batch appends nothing and reports the first failure
    // in that order: a failure of the first pair stops the second (through `abort`), while a
    // failure of the second lets the first play on, since an error of the first would take
    // precedence. Both workers are joined on every path.
    Result<void, ArenaError> play_n(std::size_t n, const Interruption* interruption = nullptr);

    const std::vector<GameEntry>& results() const { return results_; }

private:
    std::array<PlayerPair, 2> pairs_;
    std::vector<GameEntry> results_;
};

}  // namespace veltrix::arena
