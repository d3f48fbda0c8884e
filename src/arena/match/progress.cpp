#include "arena/match/progress.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "arena/io/pipe_io.hpp"
#include "arena/io/process.hpp"

namespace veltrix::arena {

namespace {

// The glyphs of the bar body: a blank, then one to eight eighths of a cell.
constexpr const char* kGlyphs[] = {" ", "▏", "▎", "▍", "▌", "▋", "▊", "▉", "█"};
constexpr std::size_t kGlyphCount = 9;

struct Registry {
    std::mutex mutex;
    std::map<std::uint64_t, BarState> bars;
    std::uint64_t next_id = 0;
};

// Never destroyed: a bar may still be closing while the process exits.
Registry& registry() {
    static Registry* instance = new Registry;
    return *instance;
}

// Characters (not bytes) of a UTF-8 text.
std::size_t text_width(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::optional<TerminalSize> window_size(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) return std::nullopt;
    return TerminalSize{size.ws_col, size.ws_row};
}

// One number printed by "tput <capability>", or nothing.
std::optional<std::size_t> tput(const char* capability) {
    auto child = ChildProcess::spawn({"tput", capability});
    if (!child) return std::nullopt;
    PipeReader reader(child->take_stdout());
    std::string line;
    const ReadStatus status = reader.read_line(line, Clock::now() + std::chrono::seconds(1));
    child->kill();
    child->wait();
    if (status != ReadStatus::Line) return std::nullopt;
    std::size_t value = 0;
    bool digits = false;
    for (const char c : line) {
        if (c < '0' || c > '9') break;
        value = value * 10 + static_cast<std::size_t>(c - '0');
        digits = true;
        if (value > 100'000) return std::nullopt;
    }
    return digits && value > 0 ? std::optional<std::size_t>(value) : std::nullopt;
}

// tput's answer does not follow a window (there is none to ask), so it is asked once.
TerminalSize tput_size() {
    static const TerminalSize size = [] {
        const auto columns = tput("cols");
        const auto lines = tput("lines");
        if (columns && lines) return TerminalSize{*columns, *lines};
        return TerminalSize{};
    }();
    return size;
}

std::string padded(std::string line, std::size_t columns) {
    const std::size_t width = text_width(line);
    if (width < columns) line.append(columns - width, ' ');
    return line;
}

// What one write to standard error shows: every registered bar (a redraw), or the last line
// of a bar that has closed. Each carries the bars' state as it was when it was asked for.
struct Frame {
    bool final_line = false;
    std::map<std::uint64_t, BarState> bars;  // for a final line, just the closed bar
    Clock::time_point now;
    std::uint64_t ticket = 0;
};

// A redraw of every bar from the first bar's line on.
std::string redraw_text(const Frame& frame) {
    const TerminalSize terminal = terminal_size();
    const std::size_t room = terminal.lines > 1 ? terminal.lines - 1 : 1;
    std::string out = "\x1b[?25l\r";
    std::size_t drawn = 0;
    for (const auto& [id, bar] : frame.bars) {
        if (drawn == room) break;
        const std::size_t columns = bar.width.value_or(terminal.columns);
        if (drawn > 0) out += "\n";
        out += padded(format_bar_line(bar, columns, frame.now), columns);
        ++drawn;
    }
    if (frame.bars.size() > drawn) {
        out += "\n\x1b[2K ... (more hidden) ...\r";
        ++drawn;
    }
    if (drawn > 1) out += "\x1b[" + std::to_string(drawn - 1) + "A";
    out += "\x1b[?25h";
    return out;
}

std::string final_text(const Frame& frame) {
    const BarState& bar = frame.bars.begin()->second;
    const std::size_t columns = bar.width.value_or(terminal_size().columns);
    std::string out = "\r";
    out += padded(format_bar_line(bar, columns, frame.now), columns);
    out += '\n';
    return out;
}

// A standard error that nobody reads blocks its writer for good, and the bar is only a
// display: so one thread of its own writes every frame, and the threads that count items
// (the runner's workers, the caller) only hand frames over. A redraw still waiting when the
// next one comes is dropped for it; a closed bar's last line is kept.
class Drawer {
public:
    // Queues `frame` for writing; the returned ticket tells when it has been written.
    std::uint64_t post(Frame frame) {
        const std::lock_guard lock(mutex_);
        frame.ticket = ++posted_;
        if (!frame.final_line && !queue_.empty() && !queue_.back().final_line) {
            queue_.back() = std::move(frame);
        } else {
            queue_.push_back(std::move(frame));
            if (queue_.size() > kMaxQueuedFrames) queue_.pop_front();  // stuck for long: keep the newest
        }
        if (!started_) start_locked();
        wanted_.notify_one();
        return posted_;
    }

    // Waits until every frame up to `ticket` is written, unless the writer is stuck on a
    // standard error that does not drain (or cannot be had at all).
    void wait_written(std::uint64_t ticket) {
        std::unique_lock lock(mutex_);
        const Clock::time_point give_up = Clock::now() + kFlushWaitLimit;
        while (written_ < ticket && running_) {
            const Clock::time_point now = Clock::now();
            if (now >= give_up || (writing_since_ && now - *writing_since_ >= kStuckWrite)) return;
            written_signal_.wait_for(lock, kStuckWrite / 4);
        }
    }

    // True after a frame failed to be written, until one is written again.
    bool failing() {
        const std::lock_guard lock(mutex_);
        return failing_;
    }

private:
    static constexpr std::size_t kMaxQueuedFrames = 64;
    // How long a closing bar waits for its last line at most, and how long one write may
    // take before the writer counts as stuck.
    static constexpr std::chrono::seconds kFlushWaitLimit{2};
    static constexpr std::chrono::milliseconds kStuckWrite{100};

    void start_locked() {
        started_ = true;
        // The thread takes no signal meant for the process: Ctrl-C goes to the caller.
        sigset_t all;
        sigset_t saved;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &saved);
        try {
            // Detached: it may block for good on a standard error that nobody reads, so it
            // cannot be joined. It uses only this Drawer, which is never destroyed.
            running_ = true;
            std::thread([this] { run(); }).detach();
        } catch (...) {
            // No thread to spare (or no memory for one): frames are dropped, nothing waits for them.
            running_ = false;
            failing_ = true;
        }
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    }

    // Nothing may leave this thread by exception: that would end the process. Frames are
    // built here (text, terminal size), which can fail for want of memory; such a frame is
    // dropped like one that could not be written, and the thread goes on with the next.
    void run() noexcept {
        try {
            std::unique_lock lock(mutex_);
            for (;;) {
                wanted_.wait(lock, [this] { return !queue_.empty(); });
                Frame frame = std::move(queue_.front());
                queue_.pop_front();
                writing_since_ = Clock::now();
                lock.unlock();
                const bool ok = draw(frame);
                lock.lock();
                writing_since_.reset();
                failing_ = !ok;
                written_ = frame.ticket;
                written_signal_.notify_all();
            }
        } catch (...) {
            // Only the mutex could throw here (it cannot be taken): no frame is drawn any more,
            // and nobody waits for one.
            running_.store(false);
            written_signal_.notify_all();
        }
    }

    // Builds and writes one frame; false when it could not be done, for whatever reason.
    bool draw(const Frame& frame) noexcept {
        try {
            const bool ok = write_stderr(frame.final_line ? final_text(frame) : redraw_text(frame));
            // A report that cannot be written either is dropped; it is said once per failing spell.
            if (!ok && !failing()) write_stderr("veltrix: the progress bar could not be drawn\n");
            return ok;
        } catch (...) {
            return false;
        }
    }

    // Writes all of `text` to standard error; false when it cannot be written.
    static bool write_stderr(const std::string& text) {
        std::fflush(stderr);  // anything the C library still holds goes first
        return write_all(STDERR_FILENO, text, Clock::now() + std::chrono::seconds(5));
    }

    std::mutex mutex_;
    std::condition_variable wanted_;          // a frame was queued
    std::condition_variable written_signal_;  // a frame was written
    std::deque<Frame> queue_;
    std::uint64_t posted_ = 0;
    std::uint64_t written_ = 0;
    std::optional<Clock::time_point> writing_since_;
    bool started_ = false;
    std::atomic<bool> running_{false};  // also cleared by a drawing thread that lost its mutex
    bool failing_ = false;
};

std::atomic<Drawer*> g_drawer{nullptr};

// The process's drawer. A child made by fork has no drawing thread: it starts a drawer of
// its own (the parent's, whose lock may have been held at the fork, is left alone).
Drawer& drawer() {
    static std::once_flag at_fork;
    std::call_once(at_fork, [] { pthread_atfork(nullptr, nullptr, [] { g_drawer.store(nullptr); }); });
    Drawer* current = g_drawer.load(std::memory_order_acquire);
    if (current != nullptr) return *current;
    auto* fresh = new Drawer;
    if (g_drawer.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;
    return *current;
}

// Hands a redraw of every registered bar to the drawer; the registry lock is held, so frames
// are queued in the order the bars changed.
std::uint64_t post_redraw_locked(const Registry& reg) {
    return drawer().post(Frame{false, reg.bars, Clock::now(), 0});
}

}  // namespace

TerminalSize terminal_size() {
    const int tty = ::open("/dev/tty", O_RDONLY | O_CLOEXEC | O_NOCTTY);
    std::optional<TerminalSize> size;
    if (tty >= 0) {
        size = window_size(tty);
        ::close(tty);
    } else {
        size = window_size(STDOUT_FILENO);
    }
    return size ? *size : tput_size();
}

std::string format_duration(std::uint64_t seconds) {
    char text[48];
    const std::uint64_t h = seconds / 3600;
    const std::uint64_t m = seconds / 60 % 60;
    const std::uint64_t s = seconds % 60;
    if (h == 0) {
        std::snprintf(text, sizeof text, "%02llu:%02llu", static_cast<unsigned long long>(m),
                      static_cast<unsigned long long>(s));
    } else {
        std::snprintf(text, sizeof text, "%02llu:%02llu:%02llu", static_cast<unsigned long long>(h),
                      static_cast<unsigned long long>(m), static_cast<unsigned long long>(s));
    }
    return text;
}

std::string format_bar_line(const BarState& bar, std::size_t columns, Clock::time_point now) {
    const double elapsed = std::chrono::duration<double>(now - bar.start).count();
    const std::string elapsed_text = format_duration(static_cast<std::uint64_t>(std::max(0.0, elapsed)));
    std::string rate_text = "?";
    if (bar.rate) {
        char text[64];
        std::snprintf(text, sizeof text, "%.2f", *bar.rate);
        rate_text = text;
    }
    const std::string description = bar.description ? *bar.description + ": " : "";
    if (!bar.total) {
        return description + std::to_string(bar.count) + "it [" + elapsed_text + ", " + rate_text + "it/s]";
    }

    const std::size_t total = *bar.total;
    // Nothing to do is all done.
    const double fraction = total == 0 ? 1.0 : std::min(1.0, static_cast<double>(bar.count) / static_cast<double>(total));
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3d%%|", static_cast<int>(std::floor(100.0 * fraction)));

    std::string remaining_text = "?";
    if (bar.rate && *bar.rate > 0.0) {
        const double left = total > bar.count ? static_cast<double>(total - bar.count) : 0.0;
        remaining_text = format_duration(static_cast<std::uint64_t>(left / *bar.rate));
    }
    const std::string prefix = description + percent;
    const std::string suffix = "| " + std::to_string(bar.count) + "/" + std::to_string(total) + " [" + elapsed_text +
                               "<" + remaining_text + ", " + rate_text + "it/s]";

    const std::size_t used = text_width(prefix) + text_width(suffix);
    const std::size_t cells = columns > used ? columns - used : 0;
    const auto steps = static_cast<std::size_t>(std::floor(static_cast<double>(kGlyphCount) * fraction * static_cast<double>(cells)));
    const std::size_t full = std::min(cells, steps / kGlyphCount);
    std::string body;
    for (std::size_t i = 0; i < full; ++i) body += kGlyphs[kGlyphCount - 1];
    std::size_t width = full;
    if (full < cells) {
        body += kGlyphs[steps % kGlyphCount];
        ++width;
    }
    body.append(cells - width, ' ');
    return prefix + body + suffix;
}

ProgressBar::ProgressBar(std::optional<std::size_t> total, std::optional<std::size_t> width) {
    Registry& reg = registry();
    const Clock::time_point now = Clock::now();
    next_redraw_ = now;
    const std::lock_guard lock(reg.mutex);
    id_ = reg.next_id++;
    BarState state;
    state.total = total;
    state.start = now;
    state.width = width;
    reg.bars.emplace(id_, std::move(state));
    post_redraw_locked(reg);
}

bool ProgressBar::update(std::size_t k) {
    if (closed_) return true;
    pending_ += k;
    const Clock::time_point now = Clock::now();
    if (pending_ < step_ || now < next_redraw_) return true;
    Registry& reg = registry();
    {
        const std::lock_guard lock(reg.mutex);
        BarState& bar = reg.bars.at(id_);
        if (bar.last_update) {
            const double seconds = std::max(1e-9, std::chrono::duration<double>(now - *bar.last_update).count());
            const double sample = static_cast<double>(pending_) / seconds;
            bar.rate = bar.rate ? bar.smoothing * sample + (1.0 - bar.smoothing) * *bar.rate : sample;
        }
        bar.last_update = now;
        bar.count += pending_;
        pending_ = 0;
        post_redraw_locked(reg);
    }
    next_redraw_ = Clock::now() + kRedrawInterval;
    return !drawer().failing();
}

void ProgressBar::close() {
    if (closed_) return;
    closed_ = true;
    Registry& reg = registry();
    std::uint64_t ticket = 0;
    {
        const std::lock_guard lock(reg.mutex);
        auto found = reg.bars.find(id_);
        if (found == reg.bars.end()) return;
        Frame last{true, {}, Clock::now(), 0};
        BarState& bar = last.bars.emplace(id_, std::move(found->second)).first->second;
        reg.bars.erase(found);
        bar.count += pending_;  // the final line shows every item, throttled or not
        pending_ = 0;
        ticket = drawer().post(std::move(last));
        if (!reg.bars.empty()) ticket = post_redraw_locked(reg);
    }
    // Whoever writes to standard error next comes after the final line, unless it cannot be written.
    drawer().wait_written(ticket);
}

}  // namespace veltrix::arena
