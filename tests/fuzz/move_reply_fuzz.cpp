// A player program's replies, as Player reads them: lines of any bytes, time-outs, too long
// lines and the end of its output, in any order. Input: a list of events, each one byte of
// kind then, for a line, one byte of length and that many bytes.
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "arena/match/player.hpp"
#include "fuzz_check.hpp"

using namespace veltrix;
using namespace veltrix::arena;

namespace {

struct Event {
    ReadStatus status;
    std::string line;
};

class ScriptedReader final : public LineReader {
public:
    explicit ScriptedReader(std::deque<Event>& events) : events_(events) {}
    ReadStatus read_line(std::string& line, Clock::time_point) override {
        if (events_.empty()) return ReadStatus::EndOfStream;
        Event event = std::move(events_.front());
        events_.pop_front();
        line = std::move(event.line);
        return event.status;
    }

private:
    std::deque<Event>& events_;
};

class CountingWriter final : public LineWriter {
public:
    explicit CountingWriter(std::size_t& requests) : requests_(requests) {}
    bool write(std::string_view bytes) override {
        FUZZ_CHECK(bytes.size() == 65 && bytes.back() == '\n');
        ++requests_;
        return true;
    }

private:
    std::size_t& requests_;
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// The number a reply line means when it is one: digits with blanks around them and nothing
// else, read without leading zeros. Checked against the parser by what it prints back.
std::string canonical(std::string_view reply) {
    while (!reply.empty() && is_blank(reply.front())) reply.remove_prefix(1);
    while (!reply.empty() && is_blank(reply.back())) reply.remove_suffix(1);
    while (reply.size() > 1 && reply.front() == '0') reply.remove_prefix(1);
    return std::string(reply);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    std::deque<Event> events;
    while (!input.empty()) {
        const std::uint8_t kind = input.byte();
        switch (kind % 8) {
            case 0: events.push_back({ReadStatus::Timeout, {}}); break;
            case 1: events.push_back({ReadStatus::TooLong, std::string(input.take(input.byte()))}); break;
            case 2: events.push_back({ReadStatus::Error, {}}); break;
            default: events.push_back({ReadStatus::Line, std::string(input.take(input.byte()))}); break;
        }
    }
    const std::size_t event_count = events.size();
    std::size_t requests = 0;
    Player player(std::make_unique<CountingWriter>(requests), std::make_unique<ScriptedReader>(events));
    const veltrix::board::Board board;
    // Each request takes at least one event, so the loop ends with the script.
    for (std::size_t asked = 0; asked <= event_count; ++asked) {
        const std::deque<Event> left = events;
        const auto move = player.get_move_with_timeout(board);
        FUZZ_CHECK(requests == asked + 1);
        if (!move) {
            if (left.empty()) {
                FUZZ_CHECK(move.error() == PlayerError::ParseError);
                break;
            }
            continue;
        }
        // A number only comes from a line the reader gave, and reads back as that line.
        const std::string shown = std::to_string(move.value());
        bool found = false;
        for (const Event& event : left) {
            if (event.status == ReadStatus::Line && canonical(event.line) == shown) found = true;
        }
        FUZZ_CHECK(found);
    }
    FUZZ_CHECK(events.empty());
    return 0;
}
