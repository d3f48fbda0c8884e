#include "arena/network/server.hpp"

#include <cstdio>
#include <cstdlib>
#include <utility>
#include <memory>

#include <fcntl.h>
#include <poll.h>

#include "arena/match/player.hpp"
#include "arena/match/runner.hpp"
#include "arena/io/time_limits.hpp"
#include "arena/network/stream.hpp"

namespace veltrix::arena {

namespace {

// How long a client may take to answer a control line.
constexpr std::chrono::seconds kReplyTimeLimit{10};
constexpr std::size_t kReplyChunk = 1024;

Err<ServerError> io_failure(IoError error) { return Err(ServerError{ServerErrorKind::Io, std::move(error), {}}); }

Err<ServerError> failure(ServerErrorKind kind) { return Err(ServerError{kind, {}, {}}); }

// The server's two status lines are read by whoever watches it: each goes out at once.
void print_status(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n\v\f";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Sends one control line (the tag, then `rest`) and checks that the reply, read with one
// receive, is `expected` once trimmed; `mismatch` is the error for any other reply.
Result<void, ServerError> exchange(const Socket& client, std::string_view rest, std::string_view expected,
                                   ServerErrorKind mismatch, const StopCheck& stop) {
    if (!client.valid()) return failure(ServerErrorKind::ClientNotExists);
    // A client that stops reading is given as long to take the line as to answer it.
    const Clock::time_point deadline = Clock::now() + scaled_limit(kReplyTimeLimit);
    for (const std::string_view piece : {kServerTag, rest}) {
        bool stopped = false;
        auto sent = send_all(client.fd(), piece, deadline, stop, stopped);
        if (stopped) return failure(ServerErrorKind::Interrupted);
        if (!sent) return io_failure(sent.error());
    }
    switch (wait_readable(client.fd(), Clock::now() + scaled_limit(kReplyTimeLimit), stop)) {
        case WaitStatus::Ready: break;
        case WaitStatus::Stopped: return failure(ServerErrorKind::Interrupted);
        case WaitStatus::Timeout: return io_failure(IoError::timed_out());
        case WaitStatus::Error: return io_failure(IoError::from_errno(errno));
    }
    char reply[kReplyChunk];
    const auto got = receive_some(client.fd(), reply, sizeof reply);
    if (!got) return io_failure(got.error());
    if (trimmed(std::string_view(reply, got.value())) != expected) return failure(mismatch);
    return {};
}

enum class Handshake { Ready, Dropped, NotReady, Interrupted };

// The readiness check of a newcomer. A connection that fails or stays silent (a probe of the
// port, a health check, a client that gave up) is Dropped, never an error: the match has not
// started, and the server goes on waiting. A wrong answer is the protocol's NotReady.
Handshake check_ready(const Socket& client, Clock::duration limit, const StopCheck& stop) {
    const Clock::time_point deadline = Clock::now() + limit;
    for (const std::string_view piece : {kServerTag, std::string_view(" isready\n")}) {
        bool stopped = false;
        auto sent = send_all(client.fd(), piece, deadline, stop, stopped);
        if (stopped) return Handshake::Interrupted;
        if (!sent) return Handshake::Dropped;
    }
    switch (wait_readable(client.fd(), deadline, stop)) {
        case WaitStatus::Ready: break;
        case WaitStatus::Stopped: return Handshake::Interrupted;
        case WaitStatus::Timeout:
        case WaitStatus::Error: return Handshake::Dropped;
    }
    char reply[kReplyChunk];
    const auto got = receive_some(client.fd(), reply, sizeof reply);
    if (!got || got.value() == 0) return Handshake::Dropped;
    return trimmed(std::string_view(reply, got.value())) == "readyok" ? Handshake::Ready : Handshake::NotReady;
}

// Tells one client its totals: the stats line, then the pieces line, each answered "ok".
Result<void, ServerError> report(const Socket& client, const ClientTotals& totals, const StopCheck& stop) {
    const std::string stats = " stats " + std::to_string(totals.wins) + " " + std::to_string(totals.losses) + " " +
                              std::to_string(totals.draws) + "\n";
    if (auto done = exchange(client, stats, "ok", ServerErrorKind::UnexpectedResponse, stop); !done) return done;
    const std::string pieces =
        " pieces " + std::to_string(totals.own_pieces) + " " + std::to_string(totals.opponent_pieces) + "\n";
    return exchange(client, pieces, "ok", ServerErrorKind::UnexpectedResponse, stop);
}

// Client 0 is Black in the Player1Black games and White in the Player2Black ones.
std::array<ClientTotals, 2> count(const std::vector<GameEntry>& results) {
    std::array<ClientTotals, 2> totals{};
    for (const GameEntry& entry : results) {
        const std::size_t black_client = entry.order == PlayerOrder::Player1Black ? 0 : 1;
        const std::size_t white_client = 1 - black_client;
        if (!entry.result.winner) {
            ++totals[0].draws;
            ++totals[1].draws;
        } else {
            const std::size_t winner = *entry.result.winner == board::Turn::Black ? black_client : white_client;
            ++totals[winner].wins;
            ++totals[1 - winner].losses;
        }
        totals[black_client].own_pieces += entry.result.black_pieces;
        totals[white_client].own_pieces += entry.result.white_pieces;
    }
    totals[0].opponent_pieces = totals[1].own_pieces;
    totals[1].opponent_pieces = totals[0].own_pieces;
    return totals;
}

// A second handle on a client's socket for the match's players; closed when they go.
Result<std::shared_ptr<Connection>, IoError> clone_connection(const Socket& client) {
    const int fd = ::fcntl(client.fd(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return Err(IoError::from_errno(errno));
    return std::make_shared<Connection>(Socket(fd));
}

}  // namespace

std::string ServerError::message() const {
    switch (kind) {
        case ServerErrorKind::Io: return "NetworkArenaServer error: " + io.describe();
        case ServerErrorKind::NoFreeSlot: return "No more clients";
        case ServerErrorKind::ClientNotExists: return "Client not exists";
        case ServerErrorKind::UnexpectedResponse: return "Unexpected response";
        case ServerErrorKind::ClientNotReady: return "Client not ready";
        case ServerErrorKind::Runner: return "NetworkArenaServer error: " + arena.variant_name();
        case ServerErrorKind::Interrupted: break;
    }
    return "NetworkArenaServer interrupted";
}

Result<void, ServerError> NetworkArenaServer::start(const std::string& addr, std::uint16_t port,
                                                    const StopCheck& stop) {
    reload_time_scale();
    // Whatever ends the loop, a later start begins with both slots empty.
    struct ClearSlots {
        NetworkArenaServer& server;
        ~ClearSlots() {
            for (std::size_t slot = 0; slot < 2; ++slot) server.free_slot(slot);
        }
    } clear_slots{*this};

    auto listener = listen_tcp(addr, port);
    if (!listener) return io_failure(listener.error());
    for (;;) {
        if (auto joined = await_clients(listener.value(), stop); !joined) return joined;
        if (auto served = serve_match(stop); !served) return served;
    }
}

Result<void, ServerError> NetworkArenaServer::await_clients(const Socket& listener, const StopCheck& stop) {
    const Clock::duration limit = scaled_limit(kReplyTimeLimit);
    for (;;) {
        // A client that gave up waiting (or a bare probe of the port) has left: its slot is
        // free again, so the next two clients still get their match.
        for (std::size_t slot = 0; slot < 2; ++slot) {
            if (clients_[slot].valid() && peer_has_gone(clients_[slot].fd())) free_slot(slot);
        }
        // Client 0 is the first of the two to have come.
        if (!clients_[0].valid() && clients_[1].valid()) {
            clients_[0] = std::move(clients_[1]);
            ready_[0] = std::exchange(ready_[1], false);
        }
        if (clients_[0].valid() && clients_[1].valid()) {
            // Each is asked once, the first first; one that fails is dropped and the other,
            // ready or not yet asked, keeps its place.
            for (std::size_t slot = 0; slot < 2; ++slot) {
                if (ready_[slot]) continue;
                const Handshake answer = check_ready(clients_[slot], limit, stop);
                if (answer == Handshake::Interrupted) return failure(ServerErrorKind::Interrupted);
                if (answer == Handshake::NotReady) return failure(ServerErrorKind::ClientNotReady);
                if (answer == Handshake::Dropped) {
                    free_slot(slot);
                    break;
                }
                ready_[slot] = true;
            }
            if (ready_[0] && ready_[1]) {
                // Only now are they the match's players, the ones the status lines are for.
                print_status("Client 0 connected\n");
                print_status("Client 1 connected\n");
                return {};
            }
            continue;
        }
        std::array<pollfd, 3> watched{{
            {listener.fd(), POLLIN, 0},
            {clients_[0].valid() ? clients_[0].fd() : -1, POLLRDHUP, 0},
            {clients_[1].valid() ? clients_[1].fd() : -1, POLLRDHUP, 0},
        }};
        switch (wait_any(watched, Clock::time_point::max(), stop)) {
            case WaitStatus::Ready: break;
            case WaitStatus::Stopped: return failure(ServerErrorKind::Interrupted);
            case WaitStatus::Timeout:
            case WaitStatus::Error: return io_failure(IoError::from_errno(errno));
        }
        // A hang-up is handled first, so that a newcomer takes the lowest free slot.
        if (watched[0].revents == 0 || watched[1].revents != 0 || watched[2].revents != 0) continue;
        if (auto accepted = accept_client(listener, stop); !accepted) return accepted;
    }
}

void NetworkArenaServer::free_slot(std::size_t slot) {
    clients_[slot].reset();
    ready_[slot] = false;
}

Result<void, ServerError> NetworkArenaServer::accept_client(const Socket& listener, const StopCheck& stop) {
    auto accepted = accept_tcp(listener, stop);
    if (!accepted) {
        if (accepted.error().failure == AcceptFailure::Stopped) return failure(ServerErrorKind::Interrupted);
        return io_failure(accepted.error().io);
    }
    // Closed before it was taken (a client that gave up in the backlog, a probe): never a client.
    if (peer_has_gone(accepted.value().fd())) return {};
    std::size_t slot = 0;
    if (clients_[0].valid()) slot = 1;
    if (clients_[slot].valid()) return failure(ServerErrorKind::NoFreeSlot);  // the new socket closes here
    clients_[slot] = std::move(accepted.value());
    ready_[slot] = false;
    return {};
}

Result<void, ServerError> NetworkArenaServer::serve_match(const StopCheck& stop) {
    // Both have answered the readiness check (await_clients); the match starts here, and
    // from now on any failure ends start().
    auto totals = play_match(stop);
    if (!totals) return Err(totals.error());
    for (std::size_t slot = 0; slot < 2; ++slot) {
        if (auto reported = report(clients_[slot], totals.value()[slot], stop); !reported) return reported;
    }
    for (const Socket& client : clients_) {
        if (auto quit = exchange(client, " quit\n", "ok", ServerErrorKind::UnexpectedResponse, stop); !quit) {
            return quit;
        }
    }
    print_status("Clients disconnected\n");
    for (std::size_t slot = 0; slot < 2; ++slot) free_slot(slot);
    return {};
}

Result<std::array<ClientTotals, 2>, ServerError> NetworkArenaServer::play_match(const StopCheck& stop) {
    std::array<std::shared_ptr<Connection>, 2> connections;
    std::array<std::shared_ptr<StreamBuffer>, 2> buffers;
    for (std::size_t slot = 0; slot < 2; ++slot) {
        if (!clients_[slot].valid()) return failure(ServerErrorKind::ClientNotExists);
        auto connection = clone_connection(clients_[slot]);
        if (!connection) return io_failure(connection.error());
        connections[slot] = connection.value();
        buffers[slot] = std::make_shared<StreamBuffer>(connections[slot]);
    }
    const auto seat_player = [&](std::size_t slot, Seat seat) {
        return Player(std::make_unique<StreamWriter>(connections[slot], seat),
                      std::make_unique<StreamReader>(buffers[slot], seat));
    };
    Player client0_black = seat_player(0, Seat::Black);
    Player client1_white = seat_player(1, Seat::White);
    Player client1_black = seat_player(1, Seat::Black);
    Player client0_white = seat_player(0, Seat::White);
    Runner runner({PlayerPair{&client0_black, &client1_white}, PlayerPair{&client1_black, &client0_white}});

    // Stopping wakes every reader blocked on a socket: they see the end of the stream.
    const Interruption interruption{
        [&stop] { return stop && stop(); },
        [&connections] {
            for (const auto& connection : connections) connection->shut_down();
        },
    };
    auto played = runner.play_n(game_per_iter_, &interruption);
    if (!played) {
        if (played.error().kind == ArenaErrorKind::Interrupted) return failure(ServerErrorKind::Interrupted);
        return Err(ServerError{ServerErrorKind::Runner, {}, played.error()});
    }
    return count(runner.results());
}

}  // namespace veltrix::arena
