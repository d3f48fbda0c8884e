#include "arena/network/stream.hpp"

namespace veltrix::arena {

namespace {

// The most read from the socket at once.
constexpr std::size_t kReceiveChunk = 1024;

constexpr std::string_view kBlackPrefix = "black ";
constexpr std::string_view kWhitePrefix = "white ";
constexpr std::size_t kMaxLineWithTag = kBlackPrefix.size() + kMaxLineBytes;

}  // namespace

Result<void, IoError> Connection::send(std::string_view bytes) {
    const std::lock_guard lock(mutex_);
    // Stopping shuts the socket down, which ends a waiting send at once: no stop check needed.
    bool stopped = false;
    return send_all(socket_.fd(), bytes, Clock::now() + kSendTimeLimit, StopCheck{}, stopped);
}

Result<std::size_t, IoError> Connection::receive(char* out, std::size_t capacity) {
    const std::lock_guard lock(mutex_);
    return receive_some(socket_.fd(), out, capacity);
}

ReadStatus StreamBuffer::read_line(Seat seat, std::string& line, Clock::time_point deadline) {
    std::deque<std::string>& queue = seat == Seat::Black ? black_ : white_;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!queue.empty()) {
            line = std::move(queue.front());
            queue.pop_front();
            return ReadStatus::Line;
        }
        if (state_ != State::Open) return closed_status();
        if (Clock::now() >= deadline) return ReadStatus::Timeout;
        if (receiving_) {
            // The other seat's reader is on the socket and files our line if it comes first.
            filed_.wait_until(lock, deadline);
            continue;
        }
        receiving_ = true;
        lock.unlock();
        const WaitStatus waited = wait_readable(connection_->fd(), deadline, StopCheck{});
        lock.lock();
        if (waited == WaitStatus::Ready) {
            // Buffer lock first, connection lock second (inside receive): the only nesting there is.
            char chunk[kReceiveChunk];
            const auto got = connection_->receive(chunk, sizeof chunk);
            if (!got) {
                state_ = State::Failed;
            } else if (got.value() == 0) {
                file_end();
            } else {
                file(std::string_view(chunk, got.value()));
            }
        } else if (waited == WaitStatus::Error) {
            state_ = State::Failed;
        }
        receiving_ = false;
        filed_.notify_all();
    }
}

void StreamBuffer::file(std::string_view bytes) {
    tail_.append(bytes);
    std::size_t start = 0;
    for (std::size_t end = tail_.find('\n'); end != std::string::npos; end = tail_.find('\n', start)) {
        std::string_view line(tail_.data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        file_line(line);
        start = end + 1;
    }
    tail_.erase(0, start);
    // A line never ends: stop buffering it rather than let the client grow it without bound.
    // The bound leaves room for a "\r" that its "\n" would strip, so that a line is judged the
    // same however the bytes were split between receives.
    if (tail_.size() > kMaxLineWithTag + 1 && state_ == State::Open) state_ = State::LineTooLong;
}

void StreamBuffer::file_end() {
    if (!tail_.empty()) {
        std::string_view line(tail_);
        if (line.back() == '\r') line.remove_suffix(1);
        file_line(line);
        tail_.clear();
    }
    if (state_ == State::Open) state_ = State::Ended;
}

void StreamBuffer::file_line(std::string_view line) {
    // Too long whether tagged or not: such a line that arrives in pieces is refused above.
    if (line.size() > kMaxLineWithTag) {
        if (state_ == State::Open) state_ = State::LineTooLong;
        return;
    }
    std::deque<std::string>* queue = nullptr;
    if (line.starts_with(kBlackPrefix)) {
        queue = &black_;
    } else if (line.starts_with(kWhitePrefix)) {
        queue = &white_;
    } else {
        return;  // untagged, empty and server-tagged lines are not replies
    }
    line.remove_prefix(kBlackPrefix.size());
    if (state_ != State::Open) return;
    if (line.size() > kMaxLineBytes) {
        state_ = State::LineTooLong;
    } else if (queue->size() >= kMaxQueuedLines) {
        state_ = State::Flooded;
    } else {
        queue->emplace_back(line);
    }
}

ReadStatus StreamBuffer::closed_status() const {
    switch (state_) {
        case State::Ended: return ReadStatus::EndOfStream;
        case State::LineTooLong: return ReadStatus::TooLong;
        case State::Open:
        case State::Failed:
        case State::Flooded: break;
    }
    return ReadStatus::Error;
}

bool StreamWriter::write(std::string_view bytes) {
    std::string message;
    message.reserve(kServerTag.size() + 7 + bytes.size());
    message += kServerTag;
    message += seat_ == Seat::Black ? " black " : " white ";
    message += bytes;
    return connection_->send(message).ok();
}

}  // namespace veltrix::arena
