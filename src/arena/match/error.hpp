// The failures of the player, game and runner layers, as values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace veltrix::arena {

enum class PlayerError : std::uint8_t { IoError = 0, ParseError = 1, TimeoutError = 2, InvalidBoard = 3 };

enum class GameError : std::uint8_t {
    BlackInvalidMove = 0,
    WhiteInvalidMove = 1,
    BlackTimeout = 2,
    WhiteTimeout = 3,
    BlackCrash = 4,
    WhiteCrash = 5,
    GameNotOverYet = 6,
    UnexpectedError = 7,
};

const char* game_error_name(GameError error);

enum class ArenaErrorKind : std::uint8_t {
    GameError,
    EngineStartError,
    EngineEndError,
    GameNumberInvalid,
    ThreadJoinError,
    Interrupted,       // the caller asked the batch to stop (Ctrl-C)
    ThreadSpawnError,  // a worker thread could not be started
};

struct ArenaError {
    ArenaErrorKind kind = ArenaErrorKind::EngineStartError;
    GameError game_error = GameError::UnexpectedError;  // meaningful for kind GameError
    // For a game that failed a batch with records (Arena.play): its index in the batch, its
    // opening, and what the program answered when the failure is an illegal or unreadable
    // move. Details only: message() stays the fixed one.
    std::optional<std::size_t> game{};
    std::string opening{};
    std::optional<std::string> reply{};

    // "Game error: WhiteTimeout", "Engine start error", ...: the Arena's Python messages.
    std::string message() const;
    // "GameError(WhiteTimeout)", "EngineStartError", ...: the variant names.
    std::string variant_name() const;
};

}  // namespace veltrix::arena
