// The network arena server: waits for two clients, plays a match between them over their
// connections, reports each client's totals, and waits for the next two.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "arena/match/error.hpp"
#include "arena/io/socket.hpp"
#include "util/result.hpp"

namespace veltrix::arena {

enum class ServerErrorKind : std::uint8_t {
    Io,                  // bind, accept, send or receive failed
    NoFreeSlot,          // a third client while both slots are taken
    ClientNotExists,     // a slot that should hold a client is empty
    UnexpectedResponse,  // a reply other than "ok"
    ClientNotReady,      // a reply other than "readyok"
    Runner,              // the match itself failed
    Interrupted,         // the caller asked the server to stop
};

struct ServerError {
    ServerErrorKind kind = ServerErrorKind::Io;
    IoError io;          // for kind Io
    ArenaError arena{};  // for kind Runner

    // The text the Python class raises ("Client not ready", "NetworkArenaServer error: ...").
    std::string message() const;
};

// What one client is told after a match, from its own side of the board.
struct ClientTotals {
    std::size_t wins = 0;
    std::size_t losses = 0;
    std::size_t draws = 0;
    std::size_t own_pieces = 0;
    std::size_t opponent_pieces = 0;
};

class NetworkArenaServer {
public:
    // `game_per_iter` is even (the Python constructor refuses odd counts).
    explicit NetworkArenaServer(std::size_t game_per_iter) : game_per_iter_(game_per_iter) {}

    // Serves matches on addr:port until something fails (or `stop` asks it to end, which is
    // reported as Interrupted). Status lines go to standard output. Whatever way it ends,
    // the connections it holds are closed and both slots are empty afterwards.
    Result<void, ServerError> start(const std::string& addr, std::uint16_t port, const StopCheck& stop);

private:
    // Waits until both slots hold a client that has answered the readiness check, freeing
    // the slot of any that closes, fails or stays silent before then; prints the two
    // "Client N connected" lines once both have.
    Result<void, ServerError> await_clients(const Socket& listener, const StopCheck& stop);
    // Takes one more client into a free slot (none, if it has closed already).
    Result<void, ServerError> accept_client(const Socket& listener, const StopCheck& stop);
    // Empties one slot.
    void free_slot(std::size_t slot);
    // The games, the reports and quit for the two ready clients.
    Result<void, ServerError> serve_match(const StopCheck& stop);
    // Plays the games and returns each client's totals.
    Result<std::array<ClientTotals, 2>, ServerError> play_match(const StopCheck& stop);

    std::size_t game_per_iter_;
    std::array<Socket, 2> clients_;
    std::array<bool, 2> ready_{};  // the slot's client has answered "readyok"
};

}  // namespace veltrix::arena
