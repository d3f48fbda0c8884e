// The client's reading of one server line. Whatever it accepts, written back in the plain
// form the server uses, reads back as the same command.
#include <string>
#include <variant>

#include "arena/network/server_line.hpp"
#include "fuzz_check.hpp"

using namespace veltrix::arena;

namespace {

std::string render(const ServerCommand& command) {
    std::string line(kServerTag);
    if (std::holds_alternative<IsReadyCommand>(command)) return line + " isready";
    if (std::holds_alternative<QuitCommand>(command)) return line + " quit";
    if (const auto* move = std::get_if<MoveCommand>(&command)) {
        return line + (move->seat == Seat::Black ? " black " : " white ") + std::string(move->position);
    }
    if (const auto* stats = std::get_if<StatsCommand>(&command)) {
        return line + " stats " + std::to_string(stats->wins) + " " + std::to_string(stats->losses) + " " +
               std::to_string(stats->draws);
    }
    const auto& pieces = std::get<PiecesCommand>(command);
    return line + " pieces " + std::to_string(pieces.own) + " " + std::to_string(pieces.opponent);
}

bool same(const ServerCommand& a, const ServerCommand& b) {
    if (a.index() != b.index()) return false;
    if (const auto* move = std::get_if<MoveCommand>(&a)) {
        const auto& other = std::get<MoveCommand>(b);
        return move->seat == other.seat && move->position == other.position;
    }
    if (const auto* stats = std::get_if<StatsCommand>(&a)) {
        const auto& other = std::get<StatsCommand>(b);
        return stats->wins == other.wins && stats->losses == other.losses && stats->draws == other.draws;
    }
    if (const auto* pieces = std::get_if<PiecesCommand>(&a)) {
        const auto& other = std::get<PiecesCommand>(b);
        return pieces->own == other.own && pieces->opponent == other.opponent;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const auto command = parse_server_line(line);
    if (!command) return 0;
    FUZZ_CHECK(line.starts_with(kServerTag));
    if (const auto* move = std::get_if<MoveCommand>(&*command)) {
        // The position is one word of the line itself.
        FUZZ_CHECK(!move->position.empty());
        FUZZ_CHECK(move->position.data() >= line.data() &&
                   move->position.data() + move->position.size() <= line.data() + line.size());
        FUZZ_CHECK(move->position.find_first_of(" \t\r\n\v\f") == std::string_view::npos);
    }
    const std::string plain = render(*command);
    const auto again = parse_server_line(plain);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(same(*command, *again));
    return 0;
}
