// The lines a server sends its client, read apart from acting on them.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <variant>

#include "arena/network/stream.hpp"

namespace veltrix::arena {

struct IsReadyCommand {};
// A move request for one seat; `position` points into the parsed line.
struct MoveCommand {
    Seat seat = Seat::Black;
    std::string_view position;
};
struct StatsCommand {
    std::size_t wins = 0;
    std::size_t losses = 0;
    std::size_t draws = 0;
};
struct PiecesCommand {
    std::size_t own = 0;
    std::size_t opponent = 0;
};
struct QuitCommand {};

using ServerCommand = std::variant<IsReadyCommand, MoveCommand, StatsCommand, PiecesCommand, QuitCommand>;

// One server line (without its "\n" and a "\r" before it): the command it carries, or none for
// a line the protocol does not have.
std::optional<ServerCommand> parse_server_line(std::string_view line);

}  // namespace veltrix::arena
