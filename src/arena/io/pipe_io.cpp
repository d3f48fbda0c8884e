#include "arena/io/pipe_io.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace veltrix::arena {

namespace {

sigset_t sigpipe_only() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}

thread_local bool t_sigpipe_blocked = false;
// A write on this thread failed with EPIPE while SIGPIPE was blocked for longer than the write.
thread_local bool t_sigpipe_raised = false;

// Takes a SIGPIPE that a failed write raised off the calling thread (it is blocked there).
void consume_sigpipe() {
    const sigset_t set = sigpipe_only();
    const timespec zero{0, 0};
    while (sigtimedwait(&set, nullptr, &zero) < 0 && errno == EINTR) {
    }
}


// Milliseconds left until `deadline`, rounded up so a wait never ends just short of it.
int remaining_ms(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 1'000'000 ? 1'000'000 : static_cast<int>(ms);
}

enum class Ready { Yes, Timeout, Woken, Failed };

// Waits until `fd` is ready for `events`, the deadline passes, or the wake signal fires.
Ready wait_for(int fd, short events, Clock::time_point deadline, int wake_fd) {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
        const int timeout = remaining_ms(deadline);
        const int n = ::poll(fds, wake_fd >= 0 ? 2 : 1, timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Ready::Failed;
        }
        if (wake_fd >= 0 && fds[1].revents != 0) return Ready::Woken;
        if (n > 0) return Ready::Yes;  // POLLHUP and POLLERR too: the next call reports them
        if (timeout == 0) return Ready::Timeout;
    }
}

}  // namespace

std::shared_ptr<WakeSignal> WakeSignal::create() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
    return std::make_shared<WakeSignal>(UniqueFd(fds[0]), UniqueFd(fds[1]));
}

void WakeSignal::fire() {
    if (fired_.exchange(true, std::memory_order_acq_rel)) return;
    const char byte = 1;
    while (::write(write_end_.get(), &byte, 1) < 0 && errno == EINTR) {
    }
}

SigpipeGuard::SigpipeGuard() {
    if (t_sigpipe_blocked) return;  // blocked for good on this thread: nothing to undo
    const sigset_t set = sigpipe_only();
    if (pthread_sigmask(SIG_BLOCK, &set, &saved_mask_) == 0) restore_ = sigismember(&saved_mask_, SIGPIPE) == 0;
}

SigpipeGuard::~SigpipeGuard() {
    if (broken_) {
        // The signal the failed write raised is pending on this thread: take it off now, or
        // when the longer block around this write ends.
        if (t_sigpipe_blocked) {
            t_sigpipe_raised = true;
        } else {
            consume_sigpipe();
        }
    }
    if (restore_) pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr);
}

void block_sigpipe_for_this_thread() {
    const sigset_t set = sigpipe_only();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0) t_sigpipe_blocked = true;
}

SigpipeBlock::SigpipeBlock() {
    if (t_sigpipe_blocked) return;  // blocked already, by an enclosing block or for good
    const sigset_t set = sigpipe_only();
    if (pthread_sigmask(SIG_BLOCK, &set, &saved_mask_) != 0) return;
    active_ = true;
    t_sigpipe_blocked = true;
    t_sigpipe_raised = false;
}

SigpipeBlock::~SigpipeBlock() {
    if (!active_) return;
    if (t_sigpipe_raised) consume_sigpipe();
    t_sigpipe_raised = false;
    t_sigpipe_blocked = false;
    pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr);
}

WriteResult write_all_unless_stopped(int fd, std::string_view bytes, Clock::time_point deadline,
                                     const StopCheck& stop, int wake_fd) {
    SigpipeGuard guard;
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (errno == EINTR) continue;
        if (errno == EPIPE) guard.note_broken_pipe();
        if (errno != EAGAIN && errno != EWOULDBLOCK) return WriteResult::Failed;
        // The reader leaves no room: wait for it in slices short enough to notice a stop.
        for (;;) {
            if (stop && stop()) return WriteResult::Stopped;
            const Clock::time_point slice = stop ? std::min(deadline, Clock::now() + kStopPollInterval) : deadline;
            const Ready ready = wait_for(fd, POLLOUT, slice, wake_fd);
            if (ready == Ready::Yes) break;
            if (ready != Ready::Timeout || Clock::now() >= deadline) return WriteResult::Failed;
        }
    }
    return WriteResult::Written;
}

bool write_all(int fd, std::string_view bytes, Clock::time_point deadline, int wake_fd) {
    return write_all_unless_stopped(fd, bytes, deadline, StopCheck{}, wake_fd) == WriteResult::Written;
}

PipeWriter::PipeWriter(UniqueFd fd, std::shared_ptr<WakeSignal> wake) : fd_(std::move(fd)), wake_(std::move(wake)) {}

bool PipeWriter::write(std::string_view bytes) { return write(bytes, StopCheck{}) == WriteResult::Written; }

WriteResult PipeWriter::write(std::string_view bytes, const StopCheck& stop) {
    if (wake_ && wake_->fired()) return WriteResult::Failed;
    return write_all_unless_stopped(fd_.get(), bytes, Clock::now() + kWriteTimeLimit, stop, wake_ ? wake_->fd() : -1);
}

PipeReader::PipeReader(UniqueFd fd, std::shared_ptr<WakeSignal> wake) : fd_(std::move(fd)), wake_(std::move(wake)) {}

std::optional<ReadStatus> PipeReader::take_buffered_line(std::string& line) {
    const std::size_t newline = buffer_.find('\n', scanned_);
    if (skipping_) {
        if (newline == std::string::npos) {
            buffer_.clear();  // still inside the overlong line
            scanned_ = 0;
            return std::nullopt;
        }
        buffer_.erase(0, newline + 1);
        scanned_ = 0;
        skipping_ = false;
        return take_buffered_line(line);
    }
    if (newline != std::string::npos) {
        const bool too_long = newline > kMaxLineBytes;
        // An overlong line still hands out its start: what the program was saying is kept.
        line.assign(buffer_, 0, std::min(newline, kMaxLineBytes));
        buffer_.erase(0, newline + 1);
        scanned_ = 0;
        return too_long ? ReadStatus::TooLong : ReadStatus::Line;
    }
    if (buffer_.size() > kMaxLineBytes) {
        line.assign(buffer_, 0, kMaxLineBytes);
        buffer_.clear();
        scanned_ = 0;
        skipping_ = true;
        return ReadStatus::TooLong;
    }
    scanned_ = buffer_.size();
    return std::nullopt;
}

bool PipeReader::fill(Clock::time_point deadline, ReadStatus& status) {
    for (;;) {
        if (wake_ && wake_->fired()) {
            status = ReadStatus::Error;
            return false;
        }
        // Waiting first costs one call less than a read that would find the pipe empty.
        switch (wait_for(fd_.get(), POLLIN, deadline, wake_ ? wake_->fd() : -1)) {
            case Ready::Yes: break;
            case Ready::Timeout: status = ReadStatus::Timeout; return false;
            case Ready::Woken:
            case Ready::Failed: status = ReadStatus::Error; return false;
        }
        char chunk[8192];
        const ssize_t n = ::read(fd_.get(), chunk, sizeof chunk);
        if (n > 0) {
            buffer_.append(chunk, static_cast<std::size_t>(n));
            return true;
        }
        if (n == 0) {
            end_of_stream_ = true;
            return true;
        }
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            status = ReadStatus::Error;
            return false;
        }
    }
}

bool PipeReader::read_available() {
    if (end_of_stream_) return true;
    char chunk[8192];
    for (;;) {
        const ssize_t n = ::read(fd_.get(), chunk, sizeof chunk);
        if (n > 0) {
            buffer_.append(chunk, static_cast<std::size_t>(n));
            return true;
        }
        if (n == 0) {
            end_of_stream_ = true;
            return true;
        }
        if (errno != EINTR) return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

ReadStatus PipeReader::buffered_line(std::string& line) {
    if (const auto status = take_buffered_line(line)) return *status;
    if (!end_of_stream_) return ReadStatus::Timeout;
    if (buffer_.empty() || skipping_) return ReadStatus::EndOfStream;
    line = std::move(buffer_);  // the last line of a stream may lack its "\n"
    buffer_.clear();
    scanned_ = 0;
    return ReadStatus::Line;
}

ReadStatus PipeReader::read_line(std::string& line, Clock::time_point deadline) {
    for (;;) {
        if (const ReadStatus status = buffered_line(line); status != ReadStatus::Timeout) return status;
        ReadStatus status = ReadStatus::Error;
        if (!fill(deadline, status)) return status;
    }
}

}  // namespace veltrix::arena
