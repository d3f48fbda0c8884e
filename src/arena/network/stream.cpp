#include "arena/network/stream.hpp"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "arena/io/time_limits.hpp"

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
    return send_all(socket_.fd(), bytes, Clock::now() + scaled_limit(kSendTimeLimit), StopCheck{}, stopped);
}

Result<std::optional<std::size_t>, IoError> Connection::receive(char* out, std::size_t capacity,
                                                               Clock::time_point deadline) {
    // A blocking receive under a socket time-out is one call where a wait for readiness and
    // a receive are two. Stopping shuts the socket down, which ends a waiting receive at once.
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now());
        if (left <= std::chrono::microseconds::zero()) return std::optional<std::size_t>{};
        // Set anew when the one in place could outlast the deadline, or would run out long
        // before it (left from a receive that came close to its deadline).
        if (receive_limit_ == std::chrono::microseconds::zero() || receive_limit_ > left || receive_limit_ < left / 2) {
            // Below a millisecond the kernel might round the time-out down to none at all.
            const auto limit = std::max(left, std::chrono::microseconds(1000));
            const timeval value{static_cast<time_t>(limit.count() / 1'000'000),
                                static_cast<suseconds_t>(limit.count() % 1'000'000)};
            if (::setsockopt(socket_.fd(), SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) != 0) {
                return Err(IoError::from_errno(errno));
            }
            receive_limit_ = limit;
        }
        const ssize_t got = ::recv(socket_.fd(), out, capacity, 0);
        if (got >= 0) return std::optional(static_cast<std::size_t>(got));
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return Err(IoError::from_errno(errno));
        // The time-out set for an earlier, later deadline ran out (or the socket does not
        // block at all): wait for the rest of this one.
        switch (wait_readable(socket_.fd(), deadline, StopCheck{})) {
            case WaitStatus::Ready: break;
            case WaitStatus::Timeout: return std::optional<std::size_t>{};
            case WaitStatus::Stopped:
            case WaitStatus::Error: return Err(IoError::from_errno(errno));
        }
    }
}

bool StreamBuffer::other_needs_waking(Seat seat, bool leaving) const {
    const SeatQueue& other = seat == Seat::Black ? white_ : black_;
    if (!other.waiting) return false;
    return leaving || !other.lines.empty() || state_ != State::Open;
}

ReadStatus StreamBuffer::read_line(Seat seat, std::string& line, Clock::time_point deadline) {
    SeatQueue& own = queue_of(seat);
    // The other seat's reader is woken with mutex_ released, so that it does not wake only to
    // wait for the lock: declared before the lock, this runs after the lock's release.
    struct PendingWake {
        std::condition_variable& woken;
        bool pending = false;
        void now() {
            if (pending) woken.notify_one();
            pending = false;
        }
        ~PendingWake() { now(); }
    } wake_other{queue_of(seat == Seat::Black ? Seat::White : Seat::Black).woken};
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!own.lines.empty()) {
            line = std::move(own.lines.front());
            own.lines.pop_front();
            return ReadStatus::Line;
        }
        if (state_ != State::Open) return closed_status();
        if (Clock::now() >= deadline) return ReadStatus::Timeout;
        if (receiving_) {
            // The other seat's reader is on the socket; it files our line if it comes, and
            // hands the socket over if it leaves first.
            wake_other.now();
            own.waiting = true;
            own.woken.wait_until(lock, deadline);
            own.waiting = false;
            continue;
        }
        receiving_ = true;
        lock.unlock();
        wake_other.now();
        char chunk[kReceiveChunk];
        const auto got = connection_->receive(chunk, sizeof chunk, deadline);
        lock.lock();
        receiving_ = false;
        if (!got) {
            state_ = State::Failed;
        } else if (!got.value()) {
            // The deadline passed: nothing received, and the caller's next check reports it.
        } else if (*got.value() == 0) {
            file_end();
        } else {
            file(std::string_view(chunk, *got.value()));
        }
        // We leave the socket with our line, with the stream closed, or with our time up.
        const bool leaving = !own.lines.empty() || state_ != State::Open || Clock::now() >= deadline;
        if (other_needs_waking(seat, leaving)) wake_other.pending = true;
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
        queue = &black_.lines;
    } else if (line.starts_with(kWhitePrefix)) {
        queue = &white_.lines;
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
