#include "arena/match/runner.hpp"

namespace veltrix::arena {

namespace {

// A pair of players that stays seated for the whole batch: without forfeits nothing restarts.
class FixedSeating final : public Seating {
public:
    explicit FixedSeating(PlayerPair pair) : pair_(pair) {}
    Player& player(board::Turn side) override { return side == board::Turn::Black ? *pair_.black : *pair_.white; }
    bool restart(board::Turn) override { return false; }

private:
    PlayerPair pair_;
};

}  // namespace

Runner::Runner(std::array<PlayerPair, 2> pairs) : pairs_(pairs) {}

Result<void, ArenaError> Runner::play_n(std::size_t n, const Interruption* interruption) {
    FixedSeating first(pairs_[0]);
    FixedSeating second(pairs_[1]);
    Seating* const seatings[] = {&first, &second};
    PoolOptions options;
    options.games = n;
    options.order = RecordOrder::ByPair;
    auto played = play_pool(seatings, options, interruption);
    if (!played) return Err{played.error()};
    for (const GameRecord& record : played.value()) results_.push_back(GameEntry{record.order, record.result});
    return {};
}

}  // namespace veltrix::arena
