#include "arena/match/progress.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>

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

// Writes all of `text` to standard error; false when it cannot be written.
bool write_stderr(const std::string& text) {
    std::fflush(stderr);  // anything the C library still holds goes first
    return write_all(STDERR_FILENO, text, Clock::now() + std::chrono::seconds(5));
}

std::string padded(std::string line, std::size_t columns) {
    const std::size_t width = text_width(line);
    if (width < columns) line.append(columns - width, ' ');
    return line;
}

// Draws every registered bar from the first bar's line on; the registry lock is held.
bool redraw_locked(Registry& reg) {
    const TerminalSize terminal = terminal_size();
    const Clock::time_point now = Clock::now();
    const std::size_t room = terminal.lines > 1 ? terminal.lines - 1 : 1;
    std::string out = "\x1b[?25l\r";
    std::size_t drawn = 0;
    for (const auto& [id, bar] : reg.bars) {
        if (drawn == room) break;
        const std::size_t columns = bar.width.value_or(terminal.columns);
        if (drawn > 0) out += "\n";
        out += padded(format_bar_line(bar, columns, now), columns);
        ++drawn;
    }
    if (reg.bars.size() > drawn) {
        out += "\n\x1b[2K ... (more hidden) ...\r";
        ++drawn;
    }
    if (drawn > 1) out += "\x1b[" + std::to_string(drawn - 1) + "A";
    out += "\x1b[?25h";
    return write_stderr(out);
}

void report_redraw_failure() {
    std::fputs("veltrix: the progress bar could not be drawn\n", stderr);
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
    if (!redraw_locked(reg)) report_redraw_failure();
}

bool ProgressBar::update(std::size_t k) {
    if (closed_) return true;
    pending_ += k;
    const Clock::time_point now = Clock::now();
    if (pending_ < step_ || now < next_redraw_) return true;
    Registry& reg = registry();
    bool drawn = true;
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
        drawn = redraw_locked(reg);
    }
    next_redraw_ = Clock::now() + kRedrawInterval;
    return drawn;
}

void ProgressBar::close() {
    if (closed_) return;
    closed_ = true;
    Registry& reg = registry();
    const std::lock_guard lock(reg.mutex);
    auto found = reg.bars.find(id_);
    if (found == reg.bars.end()) return;
    BarState bar = std::move(found->second);
    reg.bars.erase(found);
    bar.count += pending_;  // the final line shows every item, throttled or not
    pending_ = 0;
    const std::size_t columns = bar.width.value_or(terminal_size().columns);
    bool ok = write_stderr("\r" + padded(format_bar_line(bar, columns, Clock::now()), columns) + "\n");
    if (ok && !reg.bars.empty()) ok = redraw_locked(reg);
    if (!ok) report_redraw_failure();
}

}  // namespace veltrix::arena
