#include "arena/network/client.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "arena/network/client_program.hpp"
#include "arena/network/server_line.hpp"
#include "arena/io/time_limits.hpp"
#include "arena/network/stream.hpp"

namespace veltrix::arena {

namespace {

// A server silent for this long (between requests, or while it waits for a second client) has failed.
constexpr std::chrono::seconds kServerSilenceLimit{10};
constexpr std::size_t kReceiveChunk = 1024;

Err<ClientError> failure(ClientErrorKind kind) { return Err(ClientError{kind, {}}); }

// sum = a + b; true when that does not fit (sum is then not to be used).
bool ckd_add(std::size_t& sum, std::size_t a, std::size_t b) { return __builtin_add_overflow(a, b, &sum); }
Err<ClientError> io_failure(IoError error) { return Err(ClientError{ClientErrorKind::Io, std::move(error)}); }

// One seat of the client: its program and the requests it has not answered yet.
struct SeatRelay {
    ClientProgram program;
    std::string_view prefix;  // "black " or "white "
    std::size_t unanswered = 0;
    bool output_ended = false;
};

// One match's relay: the connection, the two seats' programs and the received text. It is
// one thread waiting on the socket and both programs at once, so a request for one seat is
// passed on while the other seat's program is still thinking; each reply carries its seat.
class Session {
public:
    Session(NetworkArenaClient& client, Socket socket, ClientProgram black, ClientProgram white, const StopCheck& stop)
        : client_(client),
          socket_(std::move(socket)),
          black_{std::move(black), "black "},
          white_{std::move(white), "white "},
          stop_(stop) {}

    // Relays and answers until "quit" or a failure.
    Result<void, ClientError> run() {
        Clock::time_point silent_until = Clock::now() + scaled_limit(kServerSilenceLimit);
        for (;;) {
            if (stop_ && stop_()) return failure(ClientErrorKind::Interrupted);
            const Clock::time_point now = Clock::now();
            if (now >= silent_until) return io_failure(IoError::timed_out());
            pollfd watched[3] = {
                {socket_.fd(), POLLIN, 0},
                {black_.output_ended ? -1 : black_.program.output_fd(), POLLIN, 0},
                {white_.output_ended ? -1 : white_.program.output_fd(), POLLIN, 0},
            };
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(silent_until - now);
            const int ready = ::poll(watched, 3, static_cast<int>(std::min(left, kStopPollInterval).count()));
            if (ready < 0 && errno != EINTR) return io_failure(IoError::from_errno(errno));
            if (ready <= 0) continue;
            for (SeatRelay* seat : {&black_, &white_}) {
                if (watched[seat == &black_ ? 1 : 2].revents == 0) continue;
                if (auto relayed = pass_back(*seat); !relayed) return Err(relayed.error());
            }
            if (watched[0].revents != 0) {
                silent_until = Clock::now() + scaled_limit(kServerSilenceLimit);
                auto received = receive();
                if (!received) return Err(received.error());
                if (received.value()) return {};  // quit
            }
        }
    }

private:
    // One receive from the server, its complete lines handled; true once one was "quit".
    Result<bool, ClientError> receive() {
        char chunk[kReceiveChunk];
        const auto got = receive_some(socket_.fd(), chunk, sizeof chunk);
        if (!got) return io_failure(got.error());
        if (got.value() == 0) return failure(ClientErrorKind::ConnectionBroken);
        pending_.append(chunk, got.value());
        std::size_t start = 0;
        for (std::size_t end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n', start)) {
            std::string_view line(pending_.data() + start, end - start);
            start = end + 1;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            auto handled = handle(line);
            if (!handled || handled.value()) return handled;
        }
        pending_.erase(0, start);
        // No line of the protocol comes near this: the server is flooding, not talking.
        if (pending_.size() > kMaxLineBytes) return failure(ClientErrorKind::UnexpectedServerResponse);
        return false;
    }

    // Handles one server line; true once it was "quit".
    Result<bool, ClientError> handle(std::string_view line) {
        const std::optional<ServerCommand> command = parse_server_line(line);
        if (!command) return failure(ClientErrorKind::UnexpectedServerResponse);
        if (std::holds_alternative<IsReadyCommand>(*command)) return answered(reply("readyok\n"));
        if (const auto* move = std::get_if<MoveCommand>(&*command)) {
            return answered(pass_on(move->seat == Seat::Black ? black_ : white_, move->position));
        }
        if (const auto* stats = std::get_if<StatsCommand>(&*command)) {
            // Totals that would wrap round are no totals: refused, and nothing is counted.
            if (!client_.add_stats({stats->wins, stats->losses, stats->draws})) {
                return failure(ClientErrorKind::UnexpectedServerResponse);
            }
            return answered(reply("ok\n"));
        }
        if (const auto* pieces = std::get_if<PiecesCommand>(&*command)) {
            if (!client_.add_pieces({pieces->own, pieces->opponent})) {
                return failure(ClientErrorKind::UnexpectedServerResponse);
            }
            return answered(reply("ok\n"));
        }
        // quit
        if (auto sent = reply("ok\n"); !sent) return Err(sent.error());
        black_.program.kill();
        white_.program.kill();
        black_.program.reap();
        white_.program.reap();
        return true;
    }

    static Result<bool, ClientError> answered(Result<void, ClientError> done) {
        if (!done) return Err(done.error());
        return false;
    }

    // Sends `text` to the server, which must take it within the silence limit.
    Result<void, ClientError> reply(std::string_view text) {
        bool stopped = false;
        auto sent = send_all(socket_.fd(), text, Clock::now() + scaled_limit(kServerSilenceLimit), stop_, stopped);
        if (stopped) return failure(ClientErrorKind::Interrupted);
        if (!sent) return io_failure(sent.error());
        return {};
    }

    // Shows one seat's program the position of a move request.
    Result<void, ClientError> pass_on(SeatRelay& seat, std::string_view position) {
        std::string request(position);
        request += '\n';
        // A program that stops reading holds this write for up to kWriteTimeLimit: Ctrl-C
        // must still end it, as it ends every other wait of the relay.
        switch (seat.program.write(request, stop_)) {
            case WriteResult::Written: break;
            case WriteResult::Stopped: return failure(ClientErrorKind::Interrupted);
            case WriteResult::Failed: return io_failure(IoError::other("Write error"));
        }
        // A program whose output has closed reads on but can never answer: its reply is empty.
        if (seat.output_ended) return send_line(seat, {});
        ++seat.unanswered;
        return {};
    }

    // Sends back every complete reply line the seat's program has written, each as it was
    // written; a program that has gone answers what it still owes with empty lines. Called
    // when the poll found its output readable: one read takes what is there, no more waits.
    Result<void, ClientError> pass_back(SeatRelay& seat) {
        if (!seat.program.read_available()) return io_failure(IoError::other("Read error"));
        std::string answer;
        for (;;) {
            const ReadStatus status = seat.program.buffered_line(answer);
            if (status == ReadStatus::Timeout) return {};  // the rest of a line is still to come
            if (status == ReadStatus::TooLong) return io_failure(IoError::other("Read error: reply line too long"));
            if (status == ReadStatus::Error) return io_failure(IoError::other("Read error"));
            if (status == ReadStatus::EndOfStream) {
                seat.output_ended = true;
                answer.clear();
                for (; seat.unanswered > 0; --seat.unanswered) {
                    if (auto sent = send_line(seat, answer); !sent) return sent;
                }
                return {};
            }
            if (seat.unanswered > 0) --seat.unanswered;
            if (auto sent = send_line(seat, answer); !sent) return sent;
        }
    }

    Result<void, ClientError> send_line(const SeatRelay& seat, const std::string& answer) {
        std::string message(seat.prefix);
        message += answer;
        message += '\n';
        return reply(message);
    }

    NetworkArenaClient& client_;
    Socket socket_;
    SeatRelay black_;
    SeatRelay white_;
    const StopCheck& stop_;
    std::string pending_;  // received text after the last complete line
};

Err<ClientError> start_failure(const ProgramStartError& error) {
    if (error.failure == ProgramStartFailure::Stopped) return failure(ClientErrorKind::Interrupted);
    return io_failure(error.io);
}

}  // namespace

std::string ClientError::message() const {
    switch (kind) {
        case ClientErrorKind::Io: return "NetworkArenaClient error: " + io.describe();
        case ClientErrorKind::ConnectionBroken: return "Connection broken";
        case ClientErrorKind::UnexpectedServerResponse: return "Unexpected server response";
        case ClientErrorKind::Interrupted: break;
    }
    return "NetworkArenaClient interrupted";
}

bool NetworkArenaClient::add_stats(const ClientStats& stats) {
    ClientStats sum;
    if (ckd_add(sum.wins, stats_.wins, stats.wins) || ckd_add(sum.losses, stats_.losses, stats.losses) ||
        ckd_add(sum.draws, stats_.draws, stats.draws)) {
        return false;
    }
    stats_ = sum;
    return true;
}

bool NetworkArenaClient::add_pieces(const ClientPieces& pieces) {
    ClientPieces sum;
    if (ckd_add(sum.own, pieces_.own, pieces.own) || ckd_add(sum.opponent, pieces_.opponent, pieces.opponent)) {
        return false;
    }
    pieces_ = sum;
    return true;
}

Result<void, ClientError> NetworkArenaClient::connect(const std::string& addr, std::uint16_t port,
                                                      const StopCheck& stop) {
    reload_time_scale();
    // Refused before anything is opened: there is no program to run for either seat.
    if (command_.empty()) return io_failure(IoError{"InvalidInput", 0, "empty command"});
    // Writes to a program that has gone fail with EPIPE instead of raising SIGPIPE; blocked
    // once for the whole call rather than around each relayed line.
    const SigpipeBlock no_sigpipe;
    bool stopped = false;
    auto socket = connect_tcp(addr, port, stop, stopped);
    if (stopped) return failure(ClientErrorKind::Interrupted);
    if (!socket) return io_failure(socket.error());
    auto black = ClientProgram::start(command_, false, stop);
    if (!black) return start_failure(black.error());
    auto white = ClientProgram::start(command_, true, stop);
    if (!white) return start_failure(white.error());
    Session session(*this, std::move(socket.value()), std::move(black.value()), std::move(white.value()), stop);
    return session.run();
}

}  // namespace veltrix::arena
