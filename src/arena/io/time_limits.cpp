#include "arena/io/time_limits.hpp"

#include <atomic>
#include <cstdlib>

namespace veltrix::arena {

namespace {

std::atomic<double> g_scale{1.0};

double read_scale() {
    const char* text = std::getenv("VELTRIX_TEST_TIME_SCALE");
    if (text == nullptr) return 1.0;
    char* end = nullptr;
    const double scale = std::strtod(text, &end);
    return end != text && *end == '\0' && scale > 0.0 && scale <= 1.0 ? scale : 1.0;
}

}  // namespace

void reload_time_scale() { g_scale.store(read_scale(), std::memory_order_relaxed); }

Clock::duration scaled_limit(Clock::duration limit) {
    const double scale = g_scale.load(std::memory_order_relaxed);
    if (scale == 1.0) return limit;
    return std::chrono::duration_cast<Clock::duration>(limit * scale);
}

}  // namespace veltrix::arena
