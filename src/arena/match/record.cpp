#include "arena/match/record.hpp"

#include "board/notation.hpp"
#include "util/excerpt.hpp"

namespace veltrix::arena {

namespace {

std::string lower_case(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// Python's repr of a str as far as transcripts need it: quotes, and escapes for the unprintable.
std::string quoted(const std::string& text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "'";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\'' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;  // UTF-8 bytes of other characters pass through
        }
    }
    return out + "'";
}

// The quoted text, cut to its first few dozen characters when longer, so that a message
// never grows with its input.
std::string quoted_excerpt(const std::string& text) {
    const std::string_view head = utf8_head(text);
    if (head.size() == text.size()) return quoted(text);
    return quoted(std::string(head)) + cut_note(utf8_length(text));
}

}  // namespace

Result<std::vector<Opening>, OpeningError> parse_openings(const std::vector<std::string>& transcripts) {
    std::vector<Opening> openings;
    openings.reserve(transcripts.size());
    for (std::size_t i = 0; i < transcripts.size(); ++i) {
        const std::string& text = transcripts[i];
        auto played = board::play_transcript(text);
        if (!played) {
            const board::TranscriptError& error = played.error();
            // Worded and counted as Board.from_transcript words and counts the same error.
            const char* kind = error.kind == board::TranscriptError::Kind::Illegal ? "illegal" : "unparsable";
            return Err{OpeningError{i, "Invalid opening " + quoted_excerpt(text) + ": " + kind + " move " + quoted_excerpt(error.move) +
                                           " at index " + std::to_string(error.index)}};
        }
        openings.push_back(Opening{lower_case(text), played.value()});
    }
    return openings;
}

std::optional<board::Turn> side_at_fault(GameError error) {
    switch (error) {
        case GameError::BlackInvalidMove:
        case GameError::BlackTimeout:
        case GameError::BlackCrash: return board::Turn::Black;
        case GameError::WhiteInvalidMove:
        case GameError::WhiteTimeout:
        case GameError::WhiteCrash: return board::Turn::White;
        case GameError::GameNotOverYet:
        case GameError::UnexpectedError: return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace veltrix::arena
