// Checks of the game pool with programs simulated in memory (no processes, no clock): game
// order and pairing, openings, forfeits and restarts, failing batches, interruption. Built with
// the address and thread sanitizers in turn. Prints each failure; exit 1 if any.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "arena/match/pool.hpp"

using namespace veltrix;
using namespace veltrix::arena;

namespace {

int failures = 0;

#define CHECK(condition)                                                                 \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                                  \
        }                                                                                \
    } while (0)

// How a simulated program answers the request numbered `fail_at` (counted from 1, over its
// whole life until restarted); every other request gets its first legal move.
enum class Fault { None, Illegal, Silent, Garbage, Blocked };

// What a Blocked program waits for before its reader fails: the batch's abort, in the tests.
struct Gate {
    std::mutex mutex;
    std::condition_variable opened_cv;
    bool opened = false;
    void open() {
        {
            const std::lock_guard lock(mutex);
            opened = true;
        }
        opened_cv.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex);
        opened_cv.wait(lock, [&] { return opened; });
    }
};
Gate gate;     // opened by the abort
Gate blocked;  // opened once a Blocked program waits

// A program that answers at once from memory, through a writer and a reader of its own.
struct Program {
    bool white = false;
    Fault fault = Fault::None;
    std::size_t fail_at = 0;
    std::size_t requests = 0;
    bool waiting = false;  // a Blocked program past its fault
    bool fail_once_blocked = false;  // the fault waits until a Blocked program waits
    std::deque<std::string> replies;

    void answer(std::string_view line) {
        ++requests;
        if (fault != Fault::None && requests == fail_at) {
            if (fail_once_blocked) ::blocked.wait();
            if (fault == Fault::Illegal) replies.push_back("64");
            if (fault == Fault::Garbage) replies.push_back("f5");
            waiting = fault == Fault::Blocked;
            return;  // Silent: nothing, ever
        }
        std::uint64_t own = 0;
        std::uint64_t other = 0;
        for (unsigned pos = 0; pos < 64 && pos < line.size(); ++pos) {
            const char mine = white ? 'O' : 'X';
            if (line[pos] == mine) own |= board::square_bit(pos);
            if (line[pos] != mine && line[pos] != '-' && line[pos] != '\n') other |= board::square_bit(pos);
        }
        replies.push_back(std::to_string(board::first_square(board::legal_moves(own, other))));
    }
};

struct ProgramWriter final : LineWriter {
    explicit ProgramWriter(Program& p) : program(p) {}
    bool write(std::string_view bytes) override {
        program.answer(bytes);
        return true;
    }
    Program& program;
};

struct ProgramReader final : LineReader {
    explicit ProgramReader(Program& p) : program(p) {}
    ReadStatus read_line(std::string& line, Clock::time_point) override {
        if (program.waiting) {
            ::blocked.open();
            gate.wait();  // like a pipe read woken by the batch's abort
            return ReadStatus::Error;
        }
        if (program.replies.empty()) return ReadStatus::Timeout;  // as if the deadline passed
        line = program.replies.front();
        program.replies.pop_front();
        return ReadStatus::Line;
    }
    Program& program;
};

// Two simulated programs; a restart gives a fresh, well-behaved one unless told to fail.
class MemorySeating final : public Seating {
public:
    MemorySeating() {
        for (const board::Turn side : {board::Turn::Black, board::Turn::White}) seat(side);
    }
    Player& player(board::Turn side) override { return *players_[index(side)]; }
    bool restart(board::Turn side) override {
        ++restarts[index(side)];
        if (refuse_restarts) return false;
        seat(side);
        return true;
    }
    void fail(board::Turn side, Fault fault, std::size_t at, bool once_blocked = false) {
        programs_[index(side)]->fault = fault;
        programs_[index(side)]->fail_at = at;
        programs_[index(side)]->fail_once_blocked = once_blocked;
    }

    std::array<int, 2> restarts{0, 0};
    bool refuse_restarts = false;

private:
    static std::size_t index(board::Turn side) { return side == board::Turn::Black ? 0 : 1; }
    void seat(board::Turn side) {
        auto program = std::make_unique<Program>();
        program->white = side == board::Turn::White;
        players_[index(side)] = std::make_unique<Player>(std::make_unique<ProgramWriter>(*program),
                                                         std::make_unique<ProgramReader>(*program));
        programs_[index(side)] = std::move(program);
    }
    std::array<std::unique_ptr<Program>, 2> programs_;
    std::array<std::unique_ptr<Player>, 2> players_;
};

struct Pool {
    explicit Pool(std::size_t workers) : seatings(workers) {
        for (MemorySeating& seating : seatings) seats.push_back(&seating);
    }
    std::vector<MemorySeating> seatings;
    std::vector<Seating*> seats;
};

PoolOptions options(std::size_t games, bool forfeit, std::vector<std::string> openings = {}) {
    PoolOptions result;
    result.games = games;
    result.forfeit = forfeit;
    result.progress = false;
    auto parsed = parse_openings(openings);
    if (!parsed) std::abort();
    result.openings = std::move(parsed.value());
    return result;
}

void games_come_back_in_order_and_paired() {
    for (const std::size_t workers : {2, 4, 8}) {
        Pool pool(workers);
        const auto played = play_pool(pool.seats, options(40, false, {"", "f5d6", "C4e3"}), nullptr);
        CHECK(played.ok());
        if (!played) continue;
        const std::vector<GameRecord>& records = played.value();
        CHECK(records.size() == 40);
        for (std::size_t i = 0; i < records.size(); ++i) {
            const char* opening = std::array{"", "f5d6", "c4e3"}[(i / 2) % 3];
            CHECK(records[i].order == (i % 2 == 0 ? PlayerOrder::Player1Black : PlayerOrder::Player2Black));
            CHECK(records[i].opening == opening);
            CHECK(records[i].moves.starts_with(opening) && records[i].moves.size() > 100);
            CHECK(!records[i].error);
            // Both programs play the same way, so a game depends on its opening alone.
            CHECK(records[i].moves == records[i % 6].moves);
        }
    }
}

void a_forfeit_keeps_every_other_game_and_restarts_the_program() {
    for (const Fault fault : {Fault::Illegal, Fault::Silent, Fault::Garbage}) {
        // One worker of each kind, so that the faulty one surely plays on after its forfeit.
        Pool pool(2);
        pool.seatings[1].fail(board::Turn::White, fault, 5);  // the first program, as White
        const auto played = play_pool(pool.seats, options(20, true), nullptr);
        CHECK(played.ok());
        if (!played) continue;
        std::size_t forfeits = 0;
        for (const GameRecord& record : played.value()) {
            if (!record.error) continue;
            ++forfeits;
            CHECK(*record.error == (fault == Fault::Silent ? GameError::WhiteTimeout : GameError::WhiteInvalidMove));
            CHECK(record.result.winner == board::Turn::Black);
            CHECK(record.order == PlayerOrder::Player2Black);
            CHECK(record.moves.size() == 2 * 9);  // nine moves: Black's fifth and White's four
        }
        CHECK(forfeits == 1);
        // Restarted before its worker's next game, and only then.
        CHECK(pool.seatings[1].restarts[1] == 1 && pool.seatings[1].restarts[0] == 0);
        CHECK(pool.seatings[0].restarts[0] + pool.seatings[0].restarts[1] == 0);
    }
}

void a_program_that_cannot_restart_loses_the_rest_of_its_games() {
    Pool pool(2);
    pool.seatings[0].fail(board::Turn::Black, Fault::Illegal, 1);
    pool.seatings[0].refuse_restarts = true;
    const auto played = play_pool(pool.seats, options(10, true, {"f5d6"}), nullptr);
    CHECK(played.ok());
    if (!played) return;
    for (std::size_t i = 0; i < 10; ++i) {
        const GameRecord& record = played.value()[i];
        if (i % 2 == 1) {
            CHECK(!record.error);
            continue;
        }
        CHECK(record.error == (i == 0 ? GameError::BlackInvalidMove : GameError::BlackCrash));
        CHECK(record.moves == "f5d6" && record.result.winner == board::Turn::White);
        CHECK(record.result.black_pieces == 3 && record.result.white_pieces == 3);
    }
    CHECK(pool.seatings[0].restarts[0] == 4);
}

void a_failure_stops_the_games_after_it() {
    Pool pool(2);
    // The other worker waits in game 1 until the failure of game 0 has the batch aborted; the
    // error it then meets is the abort's doing, not a failure of its own.
    pool.seatings[0].fail(board::Turn::Black, Fault::Silent, 1, true);
    pool.seatings[1].fail(board::Turn::White, Fault::Blocked, 1);
    std::atomic<int> aborts = 0;
    Interruption interruption{nullptr, [&] {
                                  ++aborts;
                                  gate.open();
                              }};
    const auto played = play_pool(pool.seats, options(40, false), &interruption);
    CHECK(!played.ok());
    if (played) return;
    CHECK(played.error().kind == ArenaErrorKind::GameError);
    CHECK(played.error().game_error == GameError::BlackTimeout);
    CHECK(aborts == 1);
}

// Several failing games: the one reported is the first in record order, whichever failed first.
void the_first_failure_in_record_order_wins(RecordOrder order) {
    for (int round = 0; round < 50; ++round) {
        Pool pool(2);
        // Game 1 fails at its first move; the first program's Black side fails later, in
        // game 0 (by game order) or in the fourth of its games (by pair).
        pool.seatings[1].fail(board::Turn::White, Fault::Illegal, 1);
        pool.seatings[0].fail(board::Turn::Black, Fault::Garbage, order == RecordOrder::ByGame ? 2 : 100);
        PoolOptions opts = options(10, false);
        opts.order = order;
        const auto played = play_pool(pool.seats, opts, nullptr);
        CHECK(!played.ok() && played.error().kind == ArenaErrorKind::GameError);
        if (played) return;
        CHECK(played.error().game_error == GameError::BlackInvalidMove);
    }
}

void by_pair_returns_the_first_programs_black_games_first() {
    Pool pool(2);
    PoolOptions opts = options(10, false);
    opts.order = RecordOrder::ByPair;
    const auto played = play_pool(pool.seats, opts, nullptr);
    CHECK(played.ok());
    if (!played) return;
    CHECK(played.value().size() == 10);
    for (std::size_t i = 0; i < played.value().size(); ++i) {
        CHECK(played.value()[i].order == (i < 5 ? PlayerOrder::Player1Black : PlayerOrder::Player2Black));
    }
}

void an_interruption_stops_the_batch() {
    Pool pool(2);
    std::atomic<int> aborts = 0;
    Interruption interruption{[] { return true; }, [&] { ++aborts; }};
    const auto played = play_pool(pool.seats, options(20000, false), &interruption);
    CHECK(!played.ok() && played.error().kind == ArenaErrorKind::Interrupted);
    CHECK(aborts == 1);
}

void progress_is_told_on_the_calling_thread_and_can_stop_the_batch() {
    Pool pool(4);
    PoolOptions watched = options(400, false);
    std::vector<std::size_t> counts;
    bool elsewhere = false;
    const std::thread::id caller = std::this_thread::get_id();
    watched.on_progress = [&](std::size_t finished) {
        counts.push_back(finished);
        elsewhere = elsewhere || std::this_thread::get_id() != caller;
        return true;
    };
    const auto played = play_pool(pool.seats, watched, nullptr);
    CHECK(played.ok() && !elsewhere && !counts.empty());
    CHECK(std::is_sorted(counts.begin(), counts.end()) &&
          std::adjacent_find(counts.begin(), counts.end()) == counts.end());
    CHECK(!counts.empty() && counts.front() >= 1 && counts.back() == 400);

    // Asked to stop: the batch ends as interrupted, every worker joined, never told again.
    Pool stopping(4);
    PoolOptions stopped = options(20000, false);
    std::size_t calls = 0;
    std::size_t last = 0;
    stopped.on_progress = [&](std::size_t finished) {
        ++calls;
        last = finished;
        return finished < 10;
    };
    const auto cut = play_pool(stopping.seats, stopped, nullptr);
    CHECK(!cut.ok() && cut.error().kind == ArenaErrorKind::Interrupted);
    CHECK(last >= 10 && last < 20000);
    CHECK(calls <= last);
}

void odd_counts_and_empty_batches() {
    Pool pool(2);
    const auto odd = play_pool(pool.seats, options(3, false), nullptr);
    CHECK(!odd.ok() && odd.error().kind == ArenaErrorKind::GameNumberInvalid);
    const auto none = play_pool(pool.seats, options(0, false), nullptr);
    CHECK(none.ok() && none.value().empty());
}

}  // namespace

int main() {
    games_come_back_in_order_and_paired();
    a_forfeit_keeps_every_other_game_and_restarts_the_program();
    a_program_that_cannot_restart_loses_the_rest_of_its_games();
    a_failure_stops_the_games_after_it();
    the_first_failure_in_record_order_wins(RecordOrder::ByGame);
    the_first_failure_in_record_order_wins(RecordOrder::ByPair);
    by_pair_returns_the_first_programs_black_games_first();
    an_interruption_stops_the_batch();
    progress_is_told_on_the_calling_thread_and_can_stop_the_batch();
    odd_counts_and_empty_batches();
    if (failures == 0) std::puts("all passed");
    return failures == 0 ? 0 : 1;
}
