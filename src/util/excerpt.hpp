// How error messages quote text that came from the user: at most a few dozen characters of
// it, marked as cut when there was more, so that a message never grows with its input.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace veltrix {

// Characters (code points) of the offending text a message quotes at most.
inline constexpr std::size_t kExcerptChars = 40;

// The number of code points in UTF-8 `text` (continuation bytes are not counted).
inline std::size_t utf8_length(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

// The first `chars` code points of UTF-8 `text` (all of it when shorter).
inline std::string_view utf8_head(std::string_view text, std::size_t chars = kExcerptChars) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (seen == chars) return text.substr(0, i);
        ++seen;
    }
    return text;
}

// What follows a quoted excerpt of a text `total` characters long that was cut.
inline std::string cut_note(std::size_t total) {
    return "... (cut; " + std::to_string(total) + " characters in all)";
}

}  // namespace veltrix
