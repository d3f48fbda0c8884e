// The two ends a Player talks through: a writer towards the player program and a line
// reader from it. Pipes (local arena) and seat-tagged sockets (network arena) implement them.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace veltrix::arena {

using Clock = std::chrono::steady_clock;

// Polled between short waits; true when the caller wants the blocking operation to end.
using StopCheck = std::function<bool()>;

// The longest a blocking wait goes without looking at the StopCheck.
inline constexpr std::chrono::milliseconds kStopPollInterval{100};

// Longest reply line accepted from a peer; a longer one is refused instead of buffered.
inline constexpr std::size_t kMaxLineBytes = 4096;

class LineWriter {
public:
    virtual ~LineWriter() = default;
    // Writes all of `bytes`; false on any failure (closed pipe or socket included).
    virtual bool write(std::string_view bytes) = 0;
};

enum class ReadStatus {
    Line,         // `line` holds one line, without its "\n"
    EndOfStream,  // the peer closed its side before a complete line
    Error,        // read failure
    TooLong,      // the line grew past kMaxLineBytes
    Timeout,      // the deadline passed; bytes read so far stay buffered for the next call
};

class LineReader {
public:
    virtual ~LineReader() = default;
    // Reads one line, waiting until `deadline` at most.
    virtual ReadStatus read_line(std::string& line, Clock::time_point deadline) = 0;
};

}  // namespace veltrix::arena
