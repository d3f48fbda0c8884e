#include "arena/match/player.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veltrix::arena {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// The square of a reply: an unsigned decimal number with blanks around it, or nothing.
std::optional<std::size_t> parse_square(std::string_view reply) {
    while (!reply.empty() && is_blank(reply.front())) reply.remove_prefix(1);
    while (!reply.empty() && is_blank(reply.back())) reply.remove_suffix(1);
    if (reply.empty()) return std::nullopt;
    std::size_t value = 0;
    for (const char c : reply) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::size_t digit = static_cast<std::size_t>(c - '0');
        if (value > (SIZE_MAX - digit) / 10) return std::nullopt;  // does not fit a machine word
        value = value * 10 + digit;
    }
    return value;
}

// At most this much of a reply is kept: enough to see what went wrong, never a flood.
constexpr std::size_t kReplyKept = 60;

std::string kept_reply(std::string_view reply, bool cut) {
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.remove_suffix(1);
    if (reply.size() > kReplyKept) {
        reply = reply.substr(0, kReplyKept);
        cut = true;
    }
    std::string kept(reply);
    if (cut) kept += "...";
    return kept;
}

}  // namespace

Player::Player(std::unique_ptr<LineWriter> writer, std::unique_ptr<LineReader> reader)
    : writer_(std::move(writer)), reader_(std::move(reader)) {}

Result<std::size_t, PlayerError> Player::get_move_with_timeout(const board::Board& board,
                                                               Clock::duration limit) {
    last_reply_.reset();
    auto rendered = board.get_board_line();
    if (!rendered) return Err{PlayerError::InvalidBoard};
    std::string request = std::move(rendered.value());
    request.push_back('\n');
    if (!writer_->write(request)) return Err{PlayerError::IoError};

    const Clock::time_point deadline = Clock::now() + limit;
    std::string reply;
    for (;;) {
        const ReadStatus status = reader_->read_line(reply, deadline);
        switch (status) {
            case ReadStatus::Timeout: ++stale_replies_; return Err{PlayerError::TimeoutError};
            case ReadStatus::Error: return Err{PlayerError::IoError};
            case ReadStatus::EndOfStream: last_reply_ = std::string(); return Err{PlayerError::ParseError};
            case ReadStatus::Line:
            case ReadStatus::TooLong: break;
        }
        if (stale_replies_ > 0) {
            --stale_replies_;  // the late answer to an earlier request: not ours to take
            continue;
        }
        last_reply_ = kept_reply(reply, status == ReadStatus::TooLong);
        if (status == ReadStatus::TooLong) return Err{PlayerError::ParseError};
        const auto square = parse_square(reply);
        if (!square) return Err{PlayerError::ParseError};
        return *square;
    }
}

}  // namespace veltrix::arena
