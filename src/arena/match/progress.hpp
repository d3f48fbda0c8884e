// A text progress bar on standard error. Bars live in one process-wide registry, so several
// of them are drawn one under the other and never interleave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "arena/io/line_io.hpp"

namespace veltrix::arena {

// What a bar shows; the registry holds one per active bar.
struct BarState {
    std::optional<std::string> description;
    std::optional<std::size_t> total;
    std::size_t count = 0;
    Clock::time_point start;
    std::optional<Clock::time_point> last_update;
    std::optional<double> rate;  // items per second, smoothed
    double smoothing = 0.3;
    std::optional<std::size_t> width;  // else the terminal's
};

struct TerminalSize {
    std::size_t columns = 80;
    std::size_t lines = 24;
};

// The controlling terminal's size, else standard output's, else tput's, else 80 x 24.
TerminalSize terminal_size();

// Whole seconds as "MM:SS", or "HH:MM:SS" from one hour on.
std::string format_duration(std::uint64_t seconds);

// The bar's line for a terminal `columns` wide (unpadded; at most that wide for a known total).
std::string format_bar_line(const BarState& bar, std::size_t columns, Clock::time_point now);

// The handle of one registered bar. Updates are throttled; closing (or dropping the handle)
// prints the final line and a line break. The bars are drawn by a thread of their own, so
// none of these calls ever waits on standard error (a pipe that nobody reads included).
class ProgressBar {
public:
    explicit ProgressBar(std::optional<std::size_t> total, std::optional<std::size_t> width = std::nullopt);
    ~ProgressBar() { close(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // Counts `k` more items; false while frames cannot be written to standard error.
    bool update(std::size_t k);
    // Hands over the final line and waits until it is written, unless standard error does
    // not drain (then it is written whenever it does, or never).
    void close();

    static constexpr std::chrono::nanoseconds kRedrawInterval{41'666'667};  // 1/24 s

private:
    std::uint64_t id_;
    std::size_t pending_ = 0;
    std::size_t step_ = 1;
    Clock::time_point next_redraw_;
    bool closed_ = false;
};

}  // namespace veltrix::arena
