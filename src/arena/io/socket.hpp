// TCP sockets for the network arena: owned descriptors, listen / accept / connect, and
// waits that end on a deadline or when the caller asks to stop (Ctrl-C).
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "arena/io/line_io.hpp"
#include "util/result.hpp"
#include "util/unique_fd.hpp"

namespace veltrix::arena {

// An I/O failure with enough detail for a diagnostic ("TimedOut (os error 110): ...").
struct IoError {
    std::string kind;  // "TimedOut", "ConnectionRefused", "Other", ...
    int code = 0;      // errno, or 0 for errors made up by this library
    std::string message;

    // The failure of the last system call.
    static IoError from_errno(int code);
    // A failure that is not a system call's ("ping-pong test failed").
    static IoError other(std::string message);
    static IoError timed_out();

    std::string describe() const;
};

// A socket descriptor owned by exactly one object; closed when that object goes.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}

    int fd() const { return fd_.get(); }
    bool valid() const { return static_cast<bool>(fd_); }
    // Closes the descriptor now (a no-op when there is none).
    void reset() { fd_.reset(); }
    // Ends both directions without closing the descriptor: a thread blocked on it wakes up.
    void shut_down() const;

private:
    UniqueFd fd_;
};

enum class WaitStatus { Ready, Timeout, Stopped, Error };

// Waits until `fd` has data (or a hang-up) to read, `deadline` passes or `stop` says so.
WaitStatus wait_readable(int fd, Clock::time_point deadline, const StopCheck& stop);

// Waits until one of `watched` has one of its events (its revents then say which),
// `deadline` passes or `stop` says so. Entries with a negative fd are skipped.
WaitStatus wait_any(std::span<pollfd> watched, Clock::time_point deadline, const StopCheck& stop);

// A listener bound to the first address of addr:port that accepts it.
Result<Socket, IoError> listen_tcp(const std::string& addr, std::uint16_t port);

enum class AcceptFailure { Io, Stopped };
struct AcceptError {
    AcceptFailure failure = AcceptFailure::Io;
    IoError io;
};

// The next connection on `listener`, waiting for as long as it takes unless stopped. The
// listener is non-blocking, so a connection that went away before it was taken never blocks.
Result<Socket, AcceptError> accept_tcp(const Socket& listener, const StopCheck& stop);

// A connection to the first address of addr:port that answers; `stopped` is set (and an
// error returned) when `stop` ends the attempt.
Result<Socket, IoError> connect_tcp(const std::string& addr, std::uint16_t port, const StopCheck& stop,
                                    bool& stopped);

// Sends every byte of `bytes` before `deadline` (a TimedOut error after it), unless `stop`
// says to give up first (`stopped` is set then, and an error returned). A peer that has gone
// is an error, never a SIGPIPE.
Result<void, IoError> send_all(int fd, std::string_view bytes, Clock::time_point deadline, const StopCheck& stop,
                               bool& stopped);

// One receive of at most `capacity` bytes into `out` (0: end of stream); blocks if nothing waits.
Result<std::size_t, IoError> receive_some(int fd, char* out, std::size_t capacity);

// True when the peer has closed its side or the connection has failed (never blocks).
bool peer_has_gone(int fd);

}  // namespace veltrix::arena
