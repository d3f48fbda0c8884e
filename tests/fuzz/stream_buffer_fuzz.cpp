// The server's sorting of a client's bytes into the two seats' queues. The same bytes, split
// between receives as the input says or in the receiver's own 1024-byte pieces, must give the
// same lines and the same outcome, and no queued line may pass the limits.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "arena/network/stream.hpp"
#include "fuzz_check.hpp"

using namespace veltrix::arena;

namespace {

// What a seat's reader sees once the connection has ended: its lines, then the final status.
struct Outcome {
    std::vector<std::string> black;
    std::vector<std::string> white;
    ReadStatus black_end = ReadStatus::Line;
    ReadStatus white_end = ReadStatus::Line;
    friend bool operator==(const Outcome&, const Outcome&) = default;
};

// Reads a seat out of a buffer whose connection has ended: no read reaches the (absent) socket.
std::vector<std::string> drain(StreamBuffer& buffer, Seat seat, ReadStatus& end) {
    std::vector<std::string> lines;
    std::string line;
    for (;;) {
        const ReadStatus status = buffer.read_line(seat, line, Clock::now());
        if (status != ReadStatus::Line) {
            end = status;
            return lines;
        }
        FUZZ_CHECK(line.size() <= kMaxLineBytes);
        FUZZ_CHECK(line.find('\n') == std::string::npos);
        lines.push_back(line);
        FUZZ_CHECK(lines.size() <= kMaxQueuedLines);
    }
}

Outcome feed(std::string_view bytes, const std::vector<std::size_t>& pieces) {
    StreamBuffer buffer(nullptr);
    std::size_t at = 0;
    for (const std::size_t piece : pieces) {
        FUZZ_CHECK(buffer.queued(Seat::Black) <= kMaxQueuedLines && buffer.queued(Seat::White) <= kMaxQueuedLines);
        buffer.file(bytes.substr(at, piece));
        at += piece;
    }
    FUZZ_CHECK(at == bytes.size());
    buffer.file_end();
    Outcome outcome;
    outcome.black = drain(buffer, Seat::Black, outcome.black_end);
    outcome.white = drain(buffer, Seat::White, outcome.white_end);
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    // First byte: how many split points follow (each two bytes, a piece length of 1..1024).
    const std::size_t splits = input.byte() % 16;
    std::vector<std::size_t> chosen;
    for (std::size_t i = 0; i < splits; ++i) chosen.push_back(1 + ((input.byte() << 8 | input.byte()) % 1024));
    const std::string_view bytes = input.rest();

    // The input's pieces (repeating its split lengths until the bytes run out) ...
    std::vector<std::size_t> pieces;
    for (std::size_t at = 0, i = 0; at < bytes.size(); ++i) {
        const std::size_t piece = std::min(chosen.empty() ? bytes.size() : chosen[i % chosen.size()], bytes.size() - at);
        pieces.push_back(std::min<std::size_t>(piece, 1024));
        at += pieces.back();
    }
    // ... against the receiver's own.
    std::vector<std::size_t> whole;
    for (std::size_t at = 0; at < bytes.size(); at += 1024) whole.push_back(std::min<std::size_t>(1024, bytes.size() - at));

    FUZZ_CHECK(feed(bytes, pieces) == feed(bytes, whole));
    return 0;
}
