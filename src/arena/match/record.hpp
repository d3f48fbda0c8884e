// What a batch of games with records returns: openings in, one record per game out.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "arena/match/error.hpp"
#include "arena/match/game.hpp"
#include "board/core.hpp"
#include "util/result.hpp"

namespace veltrix::arena {

enum class PlayerOrder : std::uint8_t { Player1Black = 0, Player2Black = 1 };

// A position to start games from, with the transcript that leads to it from the initial one.
struct Opening {
    std::string transcript;  // lower case; "" for the initial position
    board::Board position;
};

// Why a transcript given as an opening cannot be played; `message` names the transcript.
struct OpeningError {
    std::size_t index;  // in the list given
    std::string message;
};

// Plays every transcript (square names, either case, passes implicit) from the initial position.
Result<std::vector<Opening>, OpeningError> parse_openings(const std::vector<std::string>& transcripts);

// One game of a batch.
struct GameRecord {
    PlayerOrder order = PlayerOrder::Player1Black;  // which program played Black
    std::string opening;                            // the opening's transcript
    std::string moves;                              // the whole game from the initial position
    GameResult result;                              // for a forfeit: the side not at fault wins
    std::optional<GameError> error;                 // the failure that forfeited the game
    std::optional<std::size_t> adjudicated_ply;     // moves (opening included) before the exact solve
    std::optional<std::string> reply;               // the bad reply that forfeited the game, if any
};

// The colour at fault for a game error; none for a failure of the referee itself.
std::optional<board::Turn> side_at_fault(GameError error);

}  // namespace veltrix::arena
