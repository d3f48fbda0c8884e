// The network arena client: joins a server, runs one copy of its player program per seat,
// relays the server's move requests to them, and adds up the totals the server reports.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "arena/io/socket.hpp"
#include "util/result.hpp"

namespace veltrix::arena {

enum class ClientErrorKind : std::uint8_t {
    Io,                        // connecting, the socket or a player program failed
    ConnectionBroken,          // the server closed the connection
    UnexpectedServerResponse,  // a line the protocol does not have
    Interrupted,               // the caller asked the client to stop
};

struct ClientError {
    ClientErrorKind kind = ClientErrorKind::Io;
    IoError io;  // for kind Io

    // The text the Python class raises ("Connection broken", "NetworkArenaClient error: ...").
    std::string message() const;
};

struct ClientStats {
    std::size_t wins = 0;
    std::size_t losses = 0;
    std::size_t draws = 0;
};

struct ClientPieces {
    std::size_t own = 0;
    std::size_t opponent = 0;
};

class NetworkArenaClient {
public:
    // command[0] is the program, the rest its leading arguments.
    explicit NetworkArenaClient(std::vector<std::string> command) : command_(std::move(command)) {}

    // Plays one match for the server at addr:port, relaying until it says "quit". Reported
    // totals are added as they arrive, so they accumulate over calls. The player programs
    // are killed and reaped however it ends.
    Result<void, ClientError> connect(const std::string& addr, std::uint16_t port, const StopCheck& stop);

    const ClientStats& stats() const { return stats_; }
    const ClientPieces& pieces() const { return pieces_; }

    // Add a report to the totals; false, with nothing changed, when a counter would overflow.
    [[nodiscard]] bool add_stats(const ClientStats& stats);
    [[nodiscard]] bool add_pieces(const ClientPieces& pieces);

private:
    std::vector<std::string> command_;
    ClientStats stats_;
    ClientPieces pieces_;
};

}  // namespace veltrix::arena
