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

// What the reader last handed out, and whether it was the late reply to a timed-out request
// (each time-out is owed one reply, which must never be taken as a later request's answer).
struct Handed {
    Event event{ReadStatus::EndOfStream, {}};
    bool late = false;
};

// Plays the events in order.
class ScriptedReader final : public LineReader {
public:
    ScriptedReader(std::deque<Event>& events, Handed& last) : events_(events), last_(last) {}
    ReadStatus read_line(std::string& line, Clock::time_point) override {
        if (events_.empty()) {
            last_ = Handed{};
            return ReadStatus::EndOfStream;
        }
        last_.event = std::move(events_.front());
        events_.pop_front();
        const ReadStatus status = last_.event.status;
        last_.late = false;
        if (status == ReadStatus::Timeout) ++owed_;
        if ((status == ReadStatus::Line || status == ReadStatus::TooLong) && owed_ > 0) {
            --owed_;
            last_.late = true;
        }
        line = last_.event.line;
        return status;
    }

private:
    std::deque<Event>& events_;
    Handed& last_;
    std::size_t owed_ = 0;
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
    Handed last;
    Player player(std::make_unique<CountingWriter>(requests), std::make_unique<ScriptedReader>(events, last));
    const veltrix::board::Board board;
    // Each request takes at least one event, so the loop ends with the script.
    for (std::size_t asked = 0; asked <= event_count; ++asked) {
        const bool script_over = events.empty();
        const auto move = player.get_move_with_timeout(board);
        FUZZ_CHECK(requests == asked + 1);
        FUZZ_CHECK(!last.late);  // a request never ends on a late reply
        if (!move) {
            if (script_over) {
                FUZZ_CHECK(move.error() == PlayerError::ParseError);
                break;
            }
            continue;
        }
        // A number is the answer of the last line read, and reads back as that line.
        FUZZ_CHECK(last.event.status == ReadStatus::Line);
        FUZZ_CHECK(canonical(last.event.line) == std::to_string(move.value()));
    }
    FUZZ_CHECK(events.empty());
    return 0;
}
