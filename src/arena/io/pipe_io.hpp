// Line I/O over pipe descriptors: writes that never raise SIGPIPE, and line reads against one
// deadline with poll, so a move request needs no thread of its own.
#pragma once

#include <signal.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "arena/io/line_io.hpp"
#include "util/unique_fd.hpp"

namespace veltrix::arena {

// How long a write may wait for room in a pipe that its reader does not drain.
inline constexpr std::chrono::seconds kWriteTimeLimit{5};

// A one-way alarm shared by the pipes of a batch: once fired, every wait on them returns at
// once, so a worker blocked on a program that keeps its pipes open (itself or through a
// child of its own) can still be stopped.
class WakeSignal {
public:
    // Null when the operating system cannot make the pipe behind it.
    static std::shared_ptr<WakeSignal> create();

    void fire();
    bool fired() const { return fired_.load(std::memory_order_acquire); }
    // Becomes readable, and stays so, once fired.
    int fd() const { return read_end_.get(); }

    WakeSignal(UniqueFd read_end, UniqueFd write_end)
        : read_end_(std::move(read_end)), write_end_(std::move(write_end)) {}

private:
    UniqueFd read_end_;
    UniqueFd write_end_;
    std::atomic<bool> fired_{false};
};

// Blocks SIGPIPE on the calling thread for the guard's lifetime and swallows the one that a
// write to a closed pipe raised meanwhile: the write fails with EPIPE instead of killing the
// process, whatever the process-wide disposition of SIGPIPE is.
class SigpipeGuard {
public:
    SigpipeGuard();
    ~SigpipeGuard();
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;
    // Called after a write failed with EPIPE, so the pending signal is consumed.
    void note_broken_pipe() { broken_ = true; }

private:
    bool restore_ = false;
    bool broken_ = false;
    sigset_t saved_mask_{};
};

// Blocks SIGPIPE for the rest of the calling thread's life (for threads this library owns).
void block_sigpipe_for_this_thread();

// Blocks SIGPIPE on the calling thread (a caller's thread, lent for one long call) for the
// object's lifetime, so that the writes made meanwhile need no guard of their own: one pair
// of mask changes for the whole call instead of one per write. A SIGPIPE that those writes
// raised is taken off before the mask is restored.
class SigpipeBlock {
public:
    SigpipeBlock();
    ~SigpipeBlock();
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

private:
    bool active_ = false;  // this object blocked SIGPIPE and restores the mask
    sigset_t saved_mask_{};
};

enum class WriteResult { Written, Failed, Stopped };

// Writes all of `bytes` to `fd` (blocking or not) before `deadline`, unless the wake signal
// fires (Failed) or, while the reader leaves no room, `stop` says to give up (Stopped); it is
// asked at least every kStopPollInterval then, and never while the bytes go straight in.
WriteResult write_all_unless_stopped(int fd, std::string_view bytes, Clock::time_point deadline,
                                     const StopCheck& stop, int wake_fd = -1);

// The same with nothing to stop it but the deadline and the wake signal; false on any failure.
bool write_all(int fd, std::string_view bytes, Clock::time_point deadline, int wake_fd = -1);

// The writer towards a program's standard input.
class PipeWriter final : public LineWriter {
public:
    explicit PipeWriter(UniqueFd fd, std::shared_ptr<WakeSignal> wake = nullptr);
    bool write(std::string_view bytes) override;
    // A write that `stop` can end while it waits for room (kWriteTimeLimit at most).
    WriteResult write(std::string_view bytes, const StopCheck& stop);

private:
    UniqueFd fd_;
    std::shared_ptr<WakeSignal> wake_;
};

// The line reader on a program's standard output. A line longer than kMaxLineBytes is
// reported once as TooLong, with its first kMaxLineBytes bytes, and the rest of it, up to its
// "\n", is dropped unread into memory.
class PipeReader final : public LineReader {
public:
    explicit PipeReader(UniqueFd fd, std::shared_ptr<WakeSignal> wake = nullptr);
    ReadStatus read_line(std::string& line, Clock::time_point deadline) override;

    // For a caller that waits on the descriptor itself, together with others: takes what the
    // pipe holds now with one read call and no wait. False when that read failed.
    bool read_available();
    // The next line among the bytes read so far, reading nothing: Timeout when no line is
    // complete yet (EndOfStream once the stream has ended and everything was handed out).
    ReadStatus buffered_line(std::string& line);

private:
    // Takes a complete line from the buffer; nothing when there is none yet.
    std::optional<ReadStatus> take_buffered_line(std::string& line);
    // Waits for and appends more bytes; false with `status` set when that is not possible.
    bool fill(Clock::time_point deadline, ReadStatus& status);

    UniqueFd fd_;
    std::shared_ptr<WakeSignal> wake_;
    std::string buffer_;       // bytes read and not yet handed out
    std::size_t scanned_ = 0;  // leading bytes of buffer_ known to hold no "\n"
    bool skipping_ = false;    // inside an overlong line: drop bytes up to its "\n"
    bool end_of_stream_ = false;
};

}  // namespace veltrix::arena
