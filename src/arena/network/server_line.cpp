#include "arena/network/server_line.hpp"

#include <charconv>
#include <vector>

namespace veltrix::arena {

namespace {

constexpr bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// The words of a server line, split on runs of blanks.
std::vector<std::string_view> tokens_of(std::string_view text) {
    std::vector<std::string_view> tokens;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_blank(text[i])) ++i;
        const std::size_t start = i;
        while (i < text.size() && !is_blank(text[i])) ++i;
        if (i > start) tokens.push_back(text.substr(start, i - start));
    }
    return tokens;
}

// An unsigned decimal number, digits only; none for anything else (an overflow included).
std::optional<std::size_t> number(std::string_view token) {
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (error != std::errc{} || end != token.data() + token.size() || token.empty()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<ServerCommand> parse_server_line(std::string_view line) {
    if (line.size() < kServerTag.size() || !line.starts_with(kServerTag)) return std::nullopt;
    while (line.starts_with(kServerTag)) line.remove_prefix(kServerTag.size());
    const std::vector<std::string_view> tokens = tokens_of(line);
    // A tag with nothing after it is not a request either.
    if (tokens.empty()) return std::nullopt;
    const std::string_view command = tokens[0];
    if (command == "isready" && tokens.size() == 1) return IsReadyCommand{};
    if (command == "black" && tokens.size() == 2) return MoveCommand{Seat::Black, tokens[1]};
    if (command == "white" && tokens.size() == 2) return MoveCommand{Seat::White, tokens[1]};
    if (command == "stats" && tokens.size() == 4) {
        const auto wins = number(tokens[1]), losses = number(tokens[2]), draws = number(tokens[3]);
        if (!wins || !losses || !draws) return std::nullopt;
        return StatsCommand{*wins, *losses, *draws};
    }
    if (command == "pieces" && tokens.size() == 3) {
        const auto own = number(tokens[1]), opponent = number(tokens[2]);
        if (!own || !opponent) return std::nullopt;
        return PiecesCommand{*own, *opponent};
    }
    if (command == "quit" && tokens.size() == 1) return QuitCommand{};
    return std::nullopt;
}

}  // namespace veltrix::arena
