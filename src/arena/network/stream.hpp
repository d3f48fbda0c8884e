// The server's side of one client connection, which carries two players (the client's black
// and white seats) at once: seat-tagged writes, and replies sorted into one queue per seat.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "arena/io/line_io.hpp"
#include "arena/io/socket.hpp"

namespace veltrix::arena {

// Every line the server sends starts with this tag; the client ignores untagged lines.
inline constexpr std::string_view kServerTag = "##SUPER##";

// Replies queued for one seat beyond this count mean the client floods the server.
inline constexpr std::size_t kMaxQueuedLines = 256;

// How long a move request may wait for a client that does not read: the move's own limit.
inline constexpr std::chrono::seconds kSendTimeLimit{5};

// One client's socket shared by both seats' writers and the StreamBuffer. The mutex keeps
// whole messages from interleaving on the wire; receives need no lock, since the StreamBuffer
// lets one thread at a time receive, and a send never waits for a receive to end.
class Connection {
public:
    explicit Connection(Socket socket) : socket_(std::move(socket)) {}

    Result<void, IoError> send(std::string_view bytes);
    // One receive, blocking until data or end of stream (a count, 0 at the end) or until
    // `deadline` (nothing). For one thread at a time.
    Result<std::optional<std::size_t>, IoError> receive(char* out, std::size_t capacity, Clock::time_point deadline);
    int fd() const { return socket_.fd(); }
    // Wakes every thread waiting on this connection; later reads see end of stream.
    void shut_down() const { socket_.shut_down(); }

private:
    std::mutex mutex_;
    Socket socket_;
    // The receive time-out now set on the socket: never longer than the wait a receive may
    // take, and changed (one call) only when a deadline comes sooner than it allows, or much later.
    std::chrono::microseconds receive_limit_{0};  // zero: none set yet
};

enum class Seat { Black, White };

// Reads one client's socket and files each "black ..." / "white ..." line in its seat's queue,
// so that a reply for one seat arriving while the other seat waits is kept, not lost.
class StreamBuffer {
public:
    explicit StreamBuffer(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}

    // The next line for `seat` (without its tag and "\n"), receiving until `deadline` at most.
    ReadStatus read_line(Seat seat, std::string& line, Clock::time_point deadline);

    // Sorts received bytes into the queues; a line cut off at the end waits for its rest.
    void file(std::string_view bytes);
    // The connection ended: an unterminated last line still counts.
    void file_end();

    std::size_t queued(Seat seat) const { return seat == Seat::Black ? black_.lines.size() : white_.lines.size(); }

private:
    struct SeatQueue {
        std::deque<std::string> lines;
        std::condition_variable woken;  // its line came, the stream closed, or the receiver left
        bool waiting = false;           // its reader sleeps on `woken` while another receives
    };
    SeatQueue& queue_of(Seat seat) { return seat == Seat::Black ? black_ : white_; }
    // After a receive: whether the other seat's sleeping reader must be woken, either for
    // what was filed for it or to take over the socket that `leaving` gives up.
    bool other_needs_waking(Seat seat, bool leaving) const;

    // Why no more lines will come, once the connection has ended or the client misbehaved.
    enum class State { Open, Ended, Failed, LineTooLong, Flooded };

    void file_line(std::string_view line);
    ReadStatus closed_status() const;

    std::mutex mutex_;
    SeatQueue black_;
    SeatQueue white_;
    std::string tail_;  // received bytes after the last "\n"
    // One reader at a time receives, for both seats, without holding mutex_; the other seat's
    // reader sleeps meanwhile and is woken only when there is something for it to do.
    bool receiving_ = false;
    State state_ = State::Open;
    std::shared_ptr<Connection> connection_;
};

// The request side of one seat: "##SUPER## black <line>" on the wire.
class StreamWriter final : public LineWriter {
public:
    StreamWriter(std::shared_ptr<Connection> connection, Seat seat) : connection_(std::move(connection)), seat_(seat) {}
    bool write(std::string_view bytes) override;

private:
    std::shared_ptr<Connection> connection_;
    Seat seat_;
};

// The reply side of one seat, served from its queue in the client's StreamBuffer.
class StreamReader final : public LineReader {
public:
    StreamReader(std::shared_ptr<StreamBuffer> buffer, Seat seat) : buffer_(std::move(buffer)), seat_(seat) {}
    ReadStatus read_line(std::string& line, Clock::time_point deadline) override {
        return buffer_->read_line(seat_, line, deadline);
    }

private:
    std::shared_ptr<StreamBuffer> buffer_;
    Seat seat_;
};

}  // namespace veltrix::arena
