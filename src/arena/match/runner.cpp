#include "arena/match/runner.hpp"

#include <atomic>
#include <condition_variable>
#include <system_error>
#include <thread>

#include "arena/io/pipe_io.hpp"
#include "arena/match/progress.hpp"

namespace veltrix::arena {

namespace {

// How often the calling thread asks whether the batch should stop.
constexpr std::chrono::milliseconds kInterruptPoll{50};

enum class WorkerStatus { Running, Done, Failed, Stopped, Crashed };

struct WorkerOutcome {
    WorkerStatus status = WorkerStatus::Running;
    std::vector<GameEntry> entries;
    ArenaError error;
};

// What the two workers and the calling thread share during one batch.
struct Batch {
    std::mutex mutex;
    std::condition_variable finished;
    std::array<bool, 2> done{false, false};
    std::atomic<bool> stop{false};
    std::mutex bar_mutex;
    ProgressBar* bar = nullptr;
};

// Plays `count` games on one pair, one after the other.
void run_worker(Batch& batch, PlayerPair pair, PlayerOrder order, std::size_t count, WorkerOutcome& outcome) {
    // The workers write to pipes and to standard error; neither may end the process.
    block_sigpipe_for_this_thread();
    try {
        for (std::size_t i = 0; i < count && outcome.status == WorkerStatus::Running; ++i) {
            if (batch.stop.load(std::memory_order_acquire)) {
                outcome.status = WorkerStatus::Stopped;
                break;
            }
            Game game(*pair.black, *pair.white);
            const auto played = game.play();
            const auto result = game.get_result();
            if (!played || !result) {
                outcome.status = WorkerStatus::Failed;
                outcome.error = ArenaError{ArenaErrorKind::GameError, played ? result.error() : played.error()};
                break;
            }
            outcome.entries.push_back(GameEntry{order, result.value()});
            // The bar is only a display: a standard error that cannot be written (closed, or a
            // full disk) must not throw away the games the batch has played.
            const std::lock_guard lock(batch.bar_mutex);
            batch.bar->update(1);
        }
        if (outcome.status == WorkerStatus::Running) outcome.status = WorkerStatus::Done;
    } catch (...) {
        outcome.status = WorkerStatus::Crashed;  // reported as a failed join, never rethrown
    }
    {
        const std::lock_guard lock(batch.mutex);
        batch.done[order == PlayerOrder::Player1Black ? 0 : 1] = true;
    }
    batch.finished.notify_all();
}

// The error a finished worker reports, if any.
std::optional<ArenaError> worker_error(const WorkerOutcome& outcome) {
    switch (outcome.status) {
        case WorkerStatus::Done: return std::nullopt;
        case WorkerStatus::Failed: return outcome.error;
        case WorkerStatus::Running:
        case WorkerStatus::Stopped:
        case WorkerStatus::Crashed: return ArenaError{ArenaErrorKind::ThreadJoinError};
    }
    return ArenaError{ArenaErrorKind::ThreadJoinError};
}

}  // namespace

Runner::Runner(std::array<PlayerPair, 2> pairs) : pairs_(pairs) {}

Result<void, ArenaError> Runner::play_n(std::size_t n, const Interruption* interruption) {
    if (n % 2 != 0) return Err{ArenaError{ArenaErrorKind::GameNumberInvalid}};
    const std::size_t per_pair = n / 2;

    ProgressBar bar(n);
    Batch batch;
    batch.bar = &bar;
    std::array<WorkerOutcome, 2> outcomes;
    std::array<std::thread, 2> workers;
    const auto stop_workers = [&] {
        batch.stop.store(true, std::memory_order_release);
        if (interruption && interruption->abort) interruption->abort();
    };
    const auto join_all = [&] {
        for (std::thread& worker : workers) {
            if (worker.joinable()) worker.join();
        }
    };

    constexpr PlayerOrder kOrders[2] = {PlayerOrder::Player1Black, PlayerOrder::Player2Black};
    for (std::size_t i = 0; i < 2; ++i) {
        try {
            workers[i] = std::thread(run_worker, std::ref(batch), pairs_[i], kOrders[i], per_pair, std::ref(outcomes[i]));
        } catch (const std::system_error&) {
            stop_workers();
            join_all();
            return Err{ArenaError{ArenaErrorKind::ThreadSpawnError}};
        }
    }

    // The calling thread waits in short slices so that it can notice a request to stop.
    bool interrupted = false;
    bool second_stopped = false;
    {
        std::unique_lock lock(batch.mutex);
        while (!(batch.done[0] && batch.done[1])) {
            if (batch.done[0] && outcomes[0].status != WorkerStatus::Done && !second_stopped) {
                second_stopped = true;  // the first worker's error wins; the second's games are moot
                lock.unlock();
                stop_workers();
                lock.lock();
                continue;
            }
            if (interruption == nullptr || !interruption->requested) {
                batch.finished.wait(lock);
                continue;
            }
            batch.finished.wait_for(lock, kInterruptPoll);
            if (interrupted) continue;
            lock.unlock();
            interrupted = interruption->requested();
            if (interrupted) stop_workers();
            lock.lock();
        }
    }
    join_all();

    std::optional<ArenaError> failure = worker_error(outcomes[0]);
    if (!failure) failure = worker_error(outcomes[1]);
    // A Ctrl-C that also reached the player programs shows up as a failed game first.
    if (!interrupted && failure && interruption && interruption->requested) interrupted = interruption->requested();
    if (interrupted) return Err{ArenaError{ArenaErrorKind::Interrupted}};
    if (failure) return Err{*failure};

    for (const WorkerOutcome& outcome : outcomes) {
        results_.insert(results_.end(), outcome.entries.begin(), outcome.entries.end());
    }
    return {};
}

}  // namespace veltrix::arena
