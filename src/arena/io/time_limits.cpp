#include "arena/io/time_limits.hpp"

#include <cstdlib>

namespace veltrix::arena {

namespace {

double read_scale() {
    const char* text = std::getenv("VELTRIX_TEST_TIME_SCALE");
    if (text == nullptr) return 1.0;
    char* end = nullptr;
    const double scale = std::strtod(text, &end);
    return end != text && *end == '\0' && scale > 0.0 && scale <= 1.0 ? scale : 1.0;
}

}  // namespace

Clock::duration scaled_limit(Clock::duration limit) {
    // Read once, on first use: the environment is not read again while threads may run.
    static const double scale = read_scale();
    if (scale == 1.0) return limit;
    return std::chrono::duration_cast<Clock::duration>(limit * scale);
}

}  // namespace veltrix::arena
