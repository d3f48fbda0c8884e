// Checks of the arena core that Python cannot reach: the late-answer rule of Player, the line
// reader's limits, SIGPIPE safety and the progress bar's line. Prints each failure; exit 1 if any.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "arena/io/pipe_io.hpp"
#include "arena/match/player.hpp"
#include "arena/io/process.hpp"
#include "arena/match/progress.hpp"

using namespace veltrix;
using namespace veltrix::arena;
using namespace std::chrono_literals;

// While armed, every allocation made off the main thread fails: the progress bar's drawing
// thread then meets the same bad_alloc that running out of memory would give it.
std::atomic<bool> g_fail_other_threads{false};
std::atomic<int> g_failed_allocations{0};
pthread_t g_main_thread;

void* operator new(std::size_t size) {
    if (g_fail_other_threads.load() && !pthread_equal(pthread_self(), g_main_thread)) {
        g_failed_allocations.fetch_add(1);
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

int failures = 0;

#define CHECK(condition)                                                          \
    do {                                                                          \
        if (!(condition)) {                                                       \
            std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                           \
        }                                                                         \
    } while (0)

// A Player talking to `sh -c script`.
struct ShellPlayer {
    ChildProcess process;
    Player player;
};

ShellPlayer shell_player(const std::string& script) {
    auto child = ChildProcess::spawn({"sh", "-c", script});
    if (!child) std::abort();
    ChildProcess process = std::move(child.value());
    auto writer = std::make_unique<PipeWriter>(process.take_stdin());
    auto reader = std::make_unique<PipeReader>(process.take_stdout());
    return ShellPlayer{std::move(process), Player(std::move(writer), std::move(reader))};
}

void late_answer_is_never_taken_for_a_later_request() {
    // The first answer comes 300 ms late; the second request must get "9", not that "7".
    ShellPlayer p = shell_player("read a; sleep 0.3; echo 7; read b; echo 9; read c; echo ' 19 '; read d; echo 5x");
    const board::Board start;
    const auto first = p.player.get_move_with_timeout(start, 100ms);
    CHECK(!first && first.error() == PlayerError::TimeoutError);
    const auto second = p.player.get_move_with_timeout(start, 2000ms);
    CHECK(second && *second == 9);
    const auto third = p.player.get_move_with_timeout(start, 2000ms);
    CHECK(third && *third == 19);
    const auto fourth = p.player.get_move_with_timeout(start, 2000ms);
    CHECK(!fourth && fourth.error() == PlayerError::ParseError);
    const auto ended = p.player.get_move_with_timeout(start, 2000ms);  // the script has exited
    CHECK(!ended && (ended.error() == PlayerError::ParseError || ended.error() == PlayerError::IoError));
}

void two_late_answers_are_both_discarded() {
    ShellPlayer p = shell_player("read a; read b; sleep 0.3; echo 1; echo 2; read c; echo 3");
    const board::Board start;
    CHECK(!p.player.get_move_with_timeout(start, 50ms));
    CHECK(!p.player.get_move_with_timeout(start, 50ms));
    const auto third = p.player.get_move_with_timeout(start, 2000ms);
    CHECK(third && *third == 3);
}

void invalid_board_is_not_sent() {
    ShellPlayer p = shell_player("read a; echo 1");
    board::Board broken;
    broken.player = broken.opponent = 1;  // a square in both words
    const auto move = p.player.get_move_with_timeout(broken, 100ms);
    CHECK(!move && move.error() == PlayerError::InvalidBoard);
}

void reader_caps_lines_and_keeps_the_last_unterminated_one() {
    auto child = ChildProcess::spawn({"sh", "-c",
        "head -c 5000 /dev/zero | tr '\\0' 'a'; echo; echo 5; head -c 4096 /dev/zero | tr '\\0' 'b'; echo; printf 42"});
    CHECK(child.ok());
    PipeReader reader(child->take_stdout());
    std::string line;
    const auto deadline = Clock::now() + 5s;
    // An overlong line comes with its start, so that a caller can say what the program wrote.
    CHECK(reader.read_line(line, deadline) == ReadStatus::TooLong && line == std::string(4096, 'a'));
    CHECK(reader.read_line(line, deadline) == ReadStatus::Line && line == "5");
    CHECK(reader.read_line(line, deadline) == ReadStatus::Line && line == std::string(4096, 'b'));
    CHECK(reader.read_line(line, deadline) == ReadStatus::Line && line == "42");
    CHECK(reader.read_line(line, deadline) == ReadStatus::EndOfStream);
}

void writing_to_a_closed_pipe_fails_without_sigpipe() {
    signal(SIGPIPE, SIG_DFL);  // as in a host that does not ignore it: the signal would kill us
    int fds[2];
    CHECK(pipe(fds) == 0);
    close(fds[0]);
    PipeWriter writer{UniqueFd(fds[1])};
    CHECK(!writer.write("line\n"));
    sigset_t pending;
    sigpending(&pending);
    CHECK(!sigismember(&pending, SIGPIPE));
}

void a_child_the_kernel_reaped_has_ended() {
    // With SIGCHLD ignored the kernel reaps the child itself: a kill that finds it gone
    // (ESRCH) or a wait that finds nothing to reap (ECHILD) is no failure to end it.
    signal(SIGCHLD, SIG_IGN);
    for (const bool exits_first : {false, true}) {
        auto child = ChildProcess::spawn(exits_first ? std::vector<std::string>{"true"}
                                                     : std::vector<std::string>{"sleep", "10"});
        CHECK(child.ok());
        if (exits_first) {
            const auto deadline = Clock::now() + 5s;
            while (::kill(child->pid(), 0) == 0 && Clock::now() < deadline) usleep(1000);
            CHECK(::kill(child->pid(), 0) != 0 && errno == ESRCH);  // gone, and no zombie left
        }
        CHECK(child->kill());
        CHECK(child->wait());
        CHECK(child->pid() == -1);
    }
    signal(SIGCHLD, SIG_DFL);
}

void a_wait_ends_at_its_deadline_while_the_child_runs_on() {
    // No kill first, as when one was refused: the wait must still end, and the child stays ours.
    auto child = ChildProcess::spawn({"sleep", "1000"});
    CHECK(child.ok());
    CHECK(!child->wait(200ms));
    CHECK(child->pid() > 0 && ::kill(child->pid(), 0) == 0);
    CHECK(child->kill());
    CHECK(child->wait());
    CHECK(child->pid() == -1);
}

void progress_line_for_a_fixed_width() {
    BarState bar;
    bar.total = 3;
    bar.count = 1;
    bar.start = Clock::now();
    // 40 columns: " 33%|" and "| 1/3 [00:00<?, ?it/s]" leave 13 cells; 9 * 13 / 3 = 39 steps:
    // four full cells, then the glyph of 39 mod 9 = 3 eighths, then eight blanks.
    CHECK(format_bar_line(bar, 40, bar.start) == " 33%|████▍        | 1/3 [00:00<?, ?it/s]");
    bar.rate = 0.5;
    bar.count = 3;
    CHECK(format_bar_line(bar, 40, bar.start + 3725s) == "100%|███| 3/3 [01:02:05<00:00, 0.50it/s]");
    CHECK(format_bar_line(bar, 20, bar.start) == "100%|| 3/3 [00:00<00:00, 0.50it/s]");  // no room for a body
    bar.total.reset();
    CHECK(format_bar_line(bar, 30, bar.start + 65s) == "3it [01:05, 0.50it/s]");
    CHECK(format_duration(59) == "00:59" && format_duration(3600) == "01:00:00");
}

// Standard error goes to a temporary file for as long as this lives.
class CapturedStderr {
public:
    CapturedStderr() : saved_(::dup(STDERR_FILENO)), file_(std::tmpfile()) {
        std::fflush(stderr);
        ::dup2(::fileno(file_), STDERR_FILENO);
    }
    ~CapturedStderr() {
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        std::fclose(file_);
    }
    CapturedStderr(const CapturedStderr&) = delete;
    CapturedStderr& operator=(const CapturedStderr&) = delete;

    // What has been written so far.
    std::string text() const {
        std::string text;
        char chunk[4096];
        for (ssize_t n; (n = ::pread(::fileno(file_), chunk, sizeof chunk, static_cast<off_t>(text.size()))) > 0;) {
            text.append(chunk, static_cast<std::size_t>(n));
        }
        return text;
    }

private:
    int saved_;
    std::FILE* file_;
};

// Waits (a bounded time) until `ready` holds: the drawing thread works at its own pace.
template <class Condition>
bool eventually(Condition ready) {
    const auto deadline = Clock::now() + 10s;
    while (!ready()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

void a_frame_the_drawer_cannot_build_is_dropped_and_drawing_goes_on() {
    const CapturedStderr err;
    g_fail_other_threads = true;
    {
        ProgressBar bar(4, 40);
        bar.update(4);
        CHECK(eventually([] { return g_failed_allocations.load() > 0; }));
    }  // its final line cannot be built either
    g_fail_other_threads = false;
    ProgressBar bar(2, 40);
    bar.update(2);
    bar.close();
    CHECK(eventually([&] { return err.text().find("| 2/2 [") != std::string::npos; }));
}

}  // namespace

int main() {
    g_main_thread = pthread_self();
    late_answer_is_never_taken_for_a_later_request();
    two_late_answers_are_both_discarded();
    invalid_board_is_not_sent();
    reader_caps_lines_and_keeps_the_last_unterminated_one();
    writing_to_a_closed_pipe_fails_without_sigpipe();
    a_child_the_kernel_reaped_has_ended();
    a_wait_ends_at_its_deadline_while_the_child_runs_on();
    progress_line_for_a_fixed_width();
    a_frame_the_drawer_cannot_build_is_dropped_and_drawing_goes_on();
    if (failures == 0) std::puts("all passed");
    return failures == 0 ? 0 : 1;
}
