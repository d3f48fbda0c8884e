#include "arena/local/local_arena.hpp"

#include "arena/io/pipe_io.hpp"
#include "arena/local/player_process.hpp"
#include "arena/match/runner.hpp"

namespace veltrix::arena {

Result<void, ArenaError> LocalArena::play_n(std::size_t n, const std::function<bool()>& interrupt_requested) {
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
    for (const GameEntry& entry : runner.results()) {
        const GameResult& game = entry.result;
        const bool first_is_black = entry.order == PlayerOrder::Player1Black;
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
    stats_.wins1 += stats.wins1;
    stats_.wins2 += stats.wins2;
    stats_.draws += stats.draws;
    pieces_.pieces1 += pieces.pieces1;
    pieces_.pieces2 += pieces.pieces2;

    // End the programs in start order; the destructors reap whatever this leaves behind.
    for (PlayerProcess& process : processes) {
        if (!process.process.kill() || !process.process.wait()) return Err{ArenaError{ArenaErrorKind::EngineEndError}};
    }
    return {};
}

}  // namespace veltrix::arena
