// The fixed time limits of the network arena, shortened on request for tests.
#pragma once

#include "arena/io/line_io.hpp"

namespace veltrix::arena {

// `limit` multiplied by VELTRIX_TEST_TIME_SCALE, a number above 0 and at most 1 read once per
// process (anything else, or nothing, counts as 1). Only tests set it: a ten-second rule can
// then be checked in a fraction of a second, against the very code that enforces it.
Clock::duration scaled_limit(Clock::duration limit);

}  // namespace veltrix::arena
