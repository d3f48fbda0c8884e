#include "arena/match/pool.hpp"

#include <array>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "arena/io/pipe_io.hpp"
#include "arena/match/progress.hpp"
#include "board/notation.hpp"

namespace veltrix::arena {

namespace {

// How often the calling thread asks whether the batch should stop.
constexpr std::chrono::milliseconds kInterruptPoll{50};

// A failed game: its place in record order, its error, and where and how it failed.
struct Failure {
    std::size_t rank;
    GameError error;
    std::size_t index;
    std::string opening;
    std::optional<std::string> reply;
};

// Thrown from an exact solve's stop hook once the batch is stopping.
struct SolveStopped {};

void stop_solve_if_asked(void* context) {
    if (static_cast<const std::atomic<bool>*>(context)->load(std::memory_order_acquire)) throw SolveStopped{};
}

// What the workers and the calling thread share during one batch.
struct PoolState {
    PoolState(const PoolOptions& opts, std::size_t workers)
        : options(opts), records(opts.games), watched(static_cast<bool>(opts.on_progress)), playing(workers, 0) {}

    static constexpr std::size_t kNoGame = std::numeric_limits<std::size_t>::max();

    // Where game `index` comes in the records returned.
    std::size_t rank(std::size_t index) const {
        if (options.order == RecordOrder::ByGame) return index;
        return (index % 2) * (options.games / 2) + index / 2;
    }

    const PoolOptions& options;
    std::vector<std::optional<GameRecord>> records;  // slot i written by one worker only
    std::atomic<bool> stop{false};
    const bool watched;  // someone is told of every finished game

    std::mutex mutex;  // guards what follows
    std::condition_variable changed;
    std::array<std::size_t, 2> next_pair{0, 0};  // per first-program colour: game pairs handed out
    // Per worker: the rank of its latest game, kNoGame once it has left. A worker that has not
    // taken a game yet counts as at rank 0, so that nothing is stopped before it has had its turn.
    std::vector<std::size_t> playing;
    std::size_t running = 0;
    std::size_t finished = 0;  // games recorded, counted only when watched
    bool crashed = false;
    std::optional<Failure> failure;  // the first in record order so far

    std::mutex bar_mutex;
    ProgressBar* bar = nullptr;

    // The next game for a worker of `parity`, or none when there is none it should play:
    // none is left, or every one left comes after a failure. Records it as the worker's game.
    std::optional<std::size_t> next_game(std::size_t worker, std::size_t parity) {
        const std::lock_guard lock(mutex);
        const std::size_t index = 2 * next_pair[parity] + parity;
        std::optional<std::size_t> game;
        if (index < options.games && !(failure && rank(index) > failure->rank)) {
            ++next_pair[parity];
            game = index;
        }
        playing[worker] = game ? rank(*game) : kNoGame;
        // Only a failing batch waits for its workers to move past the failure.
        if (failure) changed.notify_all();
        return game;
    }

    void report_failure(std::size_t index, GameError error, std::string opening, std::optional<std::string> reply) {
        {
            const std::lock_guard lock(mutex);
            if (!failure || rank(index) < failure->rank) {
                failure = Failure{rank(index), error, index, std::move(opening), std::move(reply)};
            }
        }
        changed.notify_all();
    }

    void game_finished() {
        if (!watched) return;
        {
            const std::lock_guard lock(mutex);
            ++finished;
        }
        changed.notify_all();
    }

    // Whether no running worker can still fail a game before the failure (with the lock held).
    bool past_failure() const {
        for (const std::size_t rank : playing) {
            if (rank != kNoGame && rank < failure->rank) return false;
        }
        return true;
    }
};

constexpr std::size_t side_index(board::Turn side) { return side == board::Turn::Black ? 0 : 1; }

// The result of a game lost by `fault` on `board`: the other side wins, discs as they stand.
GameResult forfeited(const board::Board& board, board::Turn fault) {
    return GameResult{board::opposite(fault), static_cast<std::size_t>(board.black_piece_num()),
                      static_cast<std::size_t>(board.white_piece_num())};
}

// Plays the games of one seating until none of its kind is left or the batch stops.
void run_seating(PoolState& state, Seating& seating, std::size_t worker, PlayerOrder order) {
    const PoolOptions& options = state.options;
    const std::size_t parity = order == PlayerOrder::Player1Black ? 0 : 1;
    std::array<bool, 2> needs_restart{false, false};
    std::optional<Adjudication> adjudication;
    if (options.adjudicate_empties && options.solve) {
        adjudication = Adjudication{*options.adjudicate_empties, options.solve,
                                    search::StopCheck{stop_solve_if_asked, &state.stop}};
    }
    for (;;) {
        if (state.stop.load(std::memory_order_acquire)) return;
        const std::optional<std::size_t> next = state.next_game(worker, parity);
        if (!next) return;
        const std::size_t index = *next;
        const Opening* opening = options.openings.empty()
                                     ? nullptr
                                     : &options.openings[(index / 2) % options.openings.size()];
        const board::Board start = opening ? opening->position : board::Board{};
        GameRecord record;
        record.order = order;
        record.opening = opening ? opening->transcript : std::string();

        std::optional<board::Turn> unstarted;
        for (const board::Turn side : {board::Turn::Black, board::Turn::White}) {
            if (!needs_restart[side_index(side)]) continue;
            if (seating.restart(side)) {
                needs_restart[side_index(side)] = false;
            } else if (!unstarted) {
                unstarted = side;
            }
        }
        if (state.stop.load(std::memory_order_acquire)) return;  // a restart cut short by the stop

        if (unstarted) {
            record.moves = record.opening;
            record.error = *unstarted == board::Turn::Black ? GameError::BlackCrash : GameError::WhiteCrash;
            record.result = forfeited(start, *unstarted);
        } else {
            Game game(seating.player(board::Turn::Black), seating.player(board::Turn::White), start,
                      options.move_limit, adjudication ? &*adjudication : nullptr);
            const auto played = game.play();
            const auto result = game.get_result();
            record.moves = record.opening + board::write_transcript(game.moves());
            if (played && result) {
                record.result = result.value();
                if (game.adjudicated_at()) record.adjudicated_ply = record.opening.size() / 2 + *game.adjudicated_at();
            } else {
                // A failure that stopping the batch caused (its programs killed) is not one.
                if (state.stop.load(std::memory_order_acquire)) return;
                const GameError error = played ? result.error() : played.error();
                const std::optional<board::Turn> fault = side_at_fault(error);
                if (!options.forfeit || !fault) {
                    state.report_failure(index, error, record.opening, game.reply());
                    return;
                }
                record.error = error;
                record.reply = game.reply();
                record.result = forfeited(game.board(), *fault);
                needs_restart[side_index(*fault)] = true;
            }
        }
        state.records[index] = std::move(record);
        state.game_finished();
        if (state.bar) {
            // Only a display: a standard error that cannot be written must not fail the batch.
            const std::lock_guard lock(state.bar_mutex);
            state.bar->update(1);
        }
    }
}

void run_worker(PoolState& state, Seating& seating, std::size_t worker, PlayerOrder order) {
    // The workers write to pipes and to standard error; neither may end the process.
    block_sigpipe_for_this_thread();
    bool crashed = false;
    try {
        run_seating(state, seating, worker, order);
    } catch (...) {
        crashed = true;  // reported as a failed join, never rethrown
        state.stop.store(true, std::memory_order_release);
    }
    {
        const std::lock_guard lock(state.mutex);
        --state.running;
        state.playing[worker] = PoolState::kNoGame;
        state.crashed = state.crashed || crashed;
    }
    state.changed.notify_all();
}

}  // namespace

Result<std::vector<GameRecord>, ArenaError> play_pool(std::span<Seating* const> seatings, const PoolOptions& options,
                                                      const Interruption* interruption) {
    if (options.games % 2 != 0) return Err{ArenaError{ArenaErrorKind::GameNumberInvalid}};

    std::optional<ProgressBar> bar;
    if (options.progress) bar.emplace(options.games);
    PoolState state(options, seatings.size());
    state.bar = bar ? &*bar : nullptr;

    bool aborted = false;
    const auto stop_workers = [&] {
        state.stop.store(true, std::memory_order_release);
        if (!aborted && interruption && interruption->abort) interruption->abort();
        aborted = true;
    };
    std::vector<std::thread> workers;
    workers.reserve(seatings.size());
    const auto join_all = [&] {
        for (std::thread& worker : workers) worker.join();
    };
    for (std::size_t i = 0; i < seatings.size(); ++i) {
        const PlayerOrder order = i < seatings.size() / 2 ? PlayerOrder::Player1Black : PlayerOrder::Player2Black;
        {
            const std::lock_guard lock(state.mutex);
            ++state.running;
        }
        try {
            workers.emplace_back(run_worker, std::ref(state), std::ref(*seatings[i]), i, order);
        } catch (const std::system_error&) {
            {
                const std::lock_guard lock(state.mutex);
                --state.running;
            }
            stop_workers();
            join_all();
            return Err{ArenaError{ArenaErrorKind::ThreadSpawnError}};
        }
    }

    // The calling thread waits in short slices so that it can notice a request to stop, and
    // stops the workers once a failure has settled the batch's fate: a worker crashed, or
    // every game still running comes after the failed one.
    bool interrupted = false;
    bool cancelled = false;  // on_progress asked to stop
    std::size_t told = 0;    // games on_progress has been told of
    {
        std::unique_lock lock(state.mutex);
        while (state.running > 0) {
            if (!aborted && (state.crashed || (state.failure && state.past_failure()))) {
                lock.unlock();
                stop_workers();
                lock.lock();
                continue;
            }
            if (!aborted && state.finished > told) {
                told = state.finished;
                lock.unlock();
                cancelled = !options.on_progress(told);
                if (cancelled) stop_workers();
                lock.lock();
                continue;
            }
            if (interruption == nullptr || !interruption->requested) {
                state.changed.wait(lock);
                continue;
            }
            state.changed.wait_for(lock, kInterruptPoll);
            if (interrupted) continue;
            lock.unlock();
            interrupted = interruption->requested();
            if (interrupted) stop_workers();
            lock.lock();
        }
    }
    join_all();

    // A Ctrl-C that also reached the player programs shows up as a failed game first.
    if (!interrupted && (state.failure || state.crashed) && interruption && interruption->requested) {
        interrupted = interruption->requested();
    }
    if (!interrupted && !cancelled && !state.failure && !state.crashed && state.finished > told) {
        cancelled = !options.on_progress(state.finished);
    }
    if (interrupted || cancelled) return Err{ArenaError{ArenaErrorKind::Interrupted}};
    if (state.crashed) return Err{ArenaError{ArenaErrorKind::ThreadJoinError}};
    if (state.failure) {
        ArenaError error{ArenaErrorKind::GameError, state.failure->error};
        error.game = state.failure->index;
        error.opening = state.failure->opening;
        error.reply = state.failure->reply;
        return Err{std::move(error)};
    }

    std::vector<GameRecord> records(options.games);
    for (std::size_t index = 0; index < options.games; ++index) {
        // A game nobody played: `seatings` lacked a worker of one kind.
        if (!state.records[index]) return Err{ArenaError{ArenaErrorKind::ThreadJoinError}};
        records[state.rank(index)] = std::move(*state.records[index]);
    }
    return records;
}

}  // namespace veltrix::arena
