// The fixed time limits of the network arena, shortened on request for tests.
#pragma once

#include "arena/io/line_io.hpp"

namespace veltrix::arena {

// Reads VELTRIX_TEST_TIME_SCALE, a number above 0 and at most 1 (anything else, or nothing,
// counts as 1), for the limits of the operation about to start. Only tests set it: a
// ten-second rule can then be checked in a fraction of a second against the very code that
// enforces it. Called at the start of a server's start() and a client's connect(), so a test
// may set it in its own process; a process-wide value, read by every thread after that.
void reload_time_scale();

// `limit` multiplied by the time scale last read.
Clock::duration scaled_limit(Clock::duration limit);

}  // namespace veltrix::arena
