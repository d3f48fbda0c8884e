"""Why a match stopped, told apart by type rather than by the wording of a message.

The arena raises ValueError with fixed messages; play_chunk turns them into these classes at
the one place it calls the arena, so the rest of veltrix_match never reads a message prefix.
Every class is a ValueError with the arena's message unchanged, so callers that caught
ValueError before still do. Raised on a Ray worker, they reach the driver as they are, with
the node's address in `node` (and, for a StartFailure, what was found there: see
veltrix_match.cluster).
"""

from __future__ import annotations

__all__ = ["GameFailure", "MatchError", "StartFailure", "classify"]


class MatchError(ValueError):
    """A failure of the programs that stops a match."""


class StartFailure(MatchError):
    """A program could not be started or did not answer the handshake."""


class GameFailure(MatchError):
    """A program failed during a game: a time-out, a crash, an illegal or unreadable move."""


def classify(error: ValueError) -> ValueError:
    """The typed form of an error raised by `veltrix.Arena.play`, message unchanged."""
    message = str(error)
    kind: type[MatchError] | None = None
    if message.startswith("Game error"):
        kind = GameFailure
    elif message == "Engine start error":
        kind = StartFailure
    if kind is None:
        return error
    typed = kind(*error.args)
    typed.__dict__.update(getattr(error, "__dict__", {}))
    return typed
