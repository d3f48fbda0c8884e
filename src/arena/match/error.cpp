#include "arena/match/error.hpp"

namespace veltrix::arena {

const char* game_error_name(GameError error) {
    switch (error) {
        case GameError::BlackInvalidMove: return "BlackInvalidMove";
        case GameError::WhiteInvalidMove: return "WhiteInvalidMove";
        case GameError::BlackTimeout: return "BlackTimeout";
        case GameError::WhiteTimeout: return "WhiteTimeout";
        case GameError::BlackCrash: return "BlackCrash";
        case GameError::WhiteCrash: return "WhiteCrash";
        case GameError::GameNotOverYet: return "GameNotOverYet";
        case GameError::UnexpectedError: return "UnexpectedError";
    }
    return "UnexpectedError";
}

std::string ArenaError::message() const {
    switch (kind) {
        case ArenaErrorKind::GameError: return std::string("Game error: ") + game_error_name(game_error);
        case ArenaErrorKind::EngineStartError: return "Engine start error";
        case ArenaErrorKind::EngineEndError: return "Engine end error";
        case ArenaErrorKind::GameNumberInvalid: return "Game count must be even";
        case ArenaErrorKind::ThreadJoinError: return "Thread join error";
        case ArenaErrorKind::Interrupted: return "Interrupted";
        case ArenaErrorKind::ThreadSpawnError: return "failed to spawn thread";
    }
    return "Unexpected error";
}

std::string ArenaError::variant_name() const {
    switch (kind) {
        case ArenaErrorKind::GameError: return std::string("GameError(") + game_error_name(game_error) + ")";
        case ArenaErrorKind::EngineStartError: return "EngineStartError";
        case ArenaErrorKind::EngineEndError: return "EngineEndError";
        case ArenaErrorKind::GameNumberInvalid: return "GameNumberInvalid";
        case ArenaErrorKind::ThreadJoinError: return "ThreadJoinError";
        case ArenaErrorKind::Interrupted: return "Interrupted";
        case ArenaErrorKind::ThreadSpawnError: return "ThreadSpawnError";
    }
    return "UnexpectedError";
}

}  // namespace veltrix::arena
