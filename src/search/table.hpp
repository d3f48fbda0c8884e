// The transposition table of one fast search.
//
// One process-wide table of bounded size serves the searches one at a time (a search from
// Python holds the interpreter lock, so there is normally no second one); a search that finds it
// busy (another thread's, or one started inside a signal handler that the first search's
// stop check ran) gets a private table mapped for it alone and returned when it ends. Entries
// carry the id of the search that wrote them, so a search never sees an earlier one's entries
// and the choice never depends on what was searched before.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <atomic>

#include "board/core.hpp"
#include "search/score.hpp"

namespace veltrix::search {

// Table key for "searched to the end of every line": the remaining depth no longer matters.
inline constexpr std::uint8_t kToTheEnd = 255;
// The largest table: 2^20 entries of 24 bytes (24 MiB), for the whole process.
inline constexpr unsigned kMaxTableBits = 20;

struct Entry {
    std::uint64_t player;
    std::uint64_t opponent;
    std::int16_t lower;       // the value is at least this
    std::int16_t upper;       // and at most this
    std::uint16_t search_id;  // the search that wrote it; entries of earlier searches are unused
    std::uint8_t depth;       // remaining depth, or kToTheEnd
    std::uint8_t move;        // best move found, for ordering (kNoMove: none)
};

class Table {
public:
    explicit Table(unsigned bits);
    ~Table();
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    // The slot of `b`, or null when it holds another position or an earlier search's entry.
    Entry* find(const board::Board& b) {
        Entry& e = slot(b);
        return e.search_id == id_ && e.player == b.player && e.opponent == b.opponent ? &e : nullptr;
    }

    // Records what a search of `b` at `depth` with window (alpha, beta) returned.
    void store(const board::Board& b, std::uint8_t depth, int alpha, int beta, int value, unsigned move) {
        Entry& e = slot(b);
        if (e.search_id != id_ || e.player != b.player || e.opponent != b.opponent || e.depth != depth) {
            e = Entry{b.player, b.opponent, -kInfinity, kInfinity, id_, depth, kNoMove};
        }
        const auto v = static_cast<std::int16_t>(value);
        if (value <= alpha) {
            if (v < e.upper) e.upper = v;
        } else if (value >= beta) {
            if (v > e.lower) e.lower = v;
        } else {
            e.lower = e.upper = v;
        }
        e.move = static_cast<std::uint8_t>(move);
    }

private:
    Entry& slot(const board::Board& b) {
        std::uint64_t h = b.player * 0x9E3779B97F4A7C15ULL ^ std::rotl(b.opponent * 0xC2B2AE3D27D4EB4FULL, 31);
        h ^= h >> 29;
        return entries_[h & mask_];
    }

    bool shared_ = false;  // this search holds the process-wide table
    Entry* entries_ = nullptr;
    Entry* private_ = nullptr;  // a table of this search alone, or null
    std::size_t private_bytes_ = 0;
    std::uint64_t mask_ = 0;
    std::uint16_t id_ = 1;
};

}  // namespace veltrix::search
