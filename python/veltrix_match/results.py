"""The record of one played game as it travels from an executor to the driver and the JSONL file.

Records stay plain dicts (a TypedDict) so that they pickle cheaply between processes and
machines and are written out as they are.
"""

from __future__ import annotations

from enum import IntEnum
from typing import NotRequired, TypedDict

__all__ = ["GameResult", "Winner", "game_points"]


class Winner(IntEnum):
    """Who won a game, as the records write it: command A (1) or command B (2); a draw is None."""

    FIRST = 1
    SECOND = 2


class GameResult(TypedDict):
    """One game: the arena's record fields plus where the game sits in the match."""

    game: int  # match-wide index
    pairing: int
    black: int  # Winner.FIRST or Winner.SECOND: who played Black
    opening: str
    moves: str
    winner: int | None  # Winner.FIRST, Winner.SECOND or None for a draw
    black_discs: int
    white_discs: int
    error: str | None
    # Exact adjudication (--adjudicate-empties): whether the game was scored by the solver
    # from some ply on, and that ply (moves counted from the initial position, opening included).
    adjudicated: NotRequired[bool]
    adjudicated_ply: NotRequired[int | None]
    # What the program at fault answered, for a game forfeited by an illegal or unreadable
    # move ("" when its output ended); None otherwise.
    reply: NotRequired[str | None]


def game_points(result: GameResult) -> float:
    """The points of command A (1) in a game result: 1, 1/2 or 0."""
    winner = result["winner"]
    return 1.0 if winner == Winner.FIRST else 0.0 if winner == Winner.SECOND else 0.5
