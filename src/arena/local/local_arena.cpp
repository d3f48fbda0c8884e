#include "arena/local/local_arena.hpp"

#include <algorithm>

#include "arena/io/pipe_io.hpp"
#include "arena/local/local_seating.hpp"
#include "arena/local/player_process.hpp"
#include "arena/match/runner.hpp"

namespace veltrix::arena {

void LocalArena::tally(PlayerOrder order, const GameResult& game, ArenaStats& stats, ArenaPieces& pieces) {
    const bool first_is_black = order == PlayerOrder::Player1Black;
    pieces.pieces1 += first_is_black ? game.black_pieces : game.white_pieces;
    pieces.pieces2 += first_is_black ? game.white_pieces : game.black_pieces;
    if (!game.winner) {
        ++stats.draws;
    } else if ((*game.winner == board::Turn::Black) == first_is_black) {
        ++stats.wins1;
    } else {
        ++stats.wins2;
    }
}

void LocalArena::add_totals(const ArenaStats& stats, const ArenaPieces& pieces) {
    stats_.wins1 += stats.wins1;
    stats_.wins2 += stats.wins2;
    stats_.draws += stats.draws;
    pieces_.pieces1 += pieces.pieces1;
    pieces_.pieces2 += pieces.pieces2;
}

Result<void, ArenaError> LocalArena::play_n(std::size_t n, const std::function<bool()>& interrupt_requested) {
    // The handshake writes happen on this (the caller's) thread: one mask change for all.
    const SigpipeBlock no_sigpipe;
    const auto wake = WakeSignal::create();
    if (!wake) return Err{ArenaError{ArenaErrorKind::EngineStartError}};

    // Start order: the first program as Black, the second as White, then the reverse. All
    // four start at once and answer their "ping" meanwhile; a failure of any one fails the
    // start, and the processes already running are killed and reaped on the way out.
    const std::vector<ProgramPlan> plan = {{&command1_, false}, {&command2_, true}, {&command1_, true}, {&command2_, false}};
    auto started = start_players(plan, wake, kHandshakeTimeLimit, interrupt_requested);
    if (!started) return Err{started.error()};
    std::vector<PlayerProcess>& processes = started.value();

    // Pair 0: first program Black, second White; pair 1: second program Black, first White.
    Runner runner({PlayerPair{processes[0].player.get(), processes[1].player.get()},
                   PlayerPair{processes[3].player.get(), processes[2].player.get()}});
    Interruption interruption{interrupt_requested, [&] {
                                  wake->fire();  // wakes workers blocked on pipes that stay open
                                  for (PlayerProcess& process : processes) process.process.kill();
                              }};
    const auto played = runner.play_n(n, interrupt_requested ? &interruption : nullptr);
    if (!played) return Err{played.error()};

    ArenaStats stats;
    ArenaPieces pieces;
    for (const GameEntry& entry : runner.results()) tally(entry.order, entry.result, stats, pieces);
    add_totals(stats, pieces);

    // End the programs in start order; the destructors reap whatever this leaves behind.
    for (PlayerProcess& process : processes) {
        if (!process.process.kill() || !process.process.wait()) return Err{ArenaError{ArenaErrorKind::EngineEndError}};
    }
    return {};
}

Result<std::vector<GameRecord>, ArenaError> LocalArena::play(const PoolOptions& options, std::size_t concurrency,
                                                             const std::function<bool()>& interrupt_requested) {
    if (options.games % 2 != 0) return Err{ArenaError{ArenaErrorKind::GameNumberInvalid}};
    const SigpipeBlock no_sigpipe;
    const auto wake = WakeSignal::create();
    if (!wake) return Err{ArenaError{ArenaErrorKind::EngineStartError}};

    // A worker without a game of its own would only start and end two programs.
    const std::size_t workers = std::max<std::size_t>(2, std::min(concurrency, options.games));
    // A program given a long time per move may well take longer than usual to start, too.
    const Clock::duration handshake_limit =
        std::clamp<Clock::duration>(options.move_limit, kHandshakeTimeLimit, kLongestHandshake);

    // The first half of the seatings seat the first program as Black, the second half as White.
    std::vector<LocalSeating> seatings;
    seatings.reserve(workers);
    std::vector<ProgramPlan> plan;
    for (std::size_t i = 0; i < workers; ++i) {
        const bool first_black = i < workers / 2;
        seatings.emplace_back(first_black ? command1_ : command2_, first_black ? command2_ : command1_, wake,
                            handshake_limit);
        for (const ProgramPlan& program : seatings.back().plan()) plan.push_back(program);
    }
    auto started = start_players(plan, wake, handshake_limit, interrupt_requested);
    if (!started) return Err{started.error()};
    std::vector<Seating*> seats;
    for (std::size_t i = 0; i < workers; ++i) {
        seatings[i].seat(std::move(started.value()[2 * i]), std::move(started.value()[2 * i + 1]));
        seats.push_back(&seatings[i]);
    }

    // Stopping only wakes the workers; the seatings kill and reap their programs afterwards,
    // from this thread, so no restart can race with a kill.
    Interruption interruption{interrupt_requested, [&] { wake->fire(); }};
    auto played = play_pool(seats, options, &interruption);
    for (LocalSeating& seating : seatings) seating.end();
    if (!played) return Err{played.error()};

    ArenaStats stats;
    ArenaPieces pieces;
    for (const GameRecord& record : played.value()) tally(record.order, record.result, stats, pieces);
    add_totals(stats, pieces);
    return std::move(played.value());
}

}  // namespace veltrix::arena
