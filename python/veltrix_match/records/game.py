"""The game object shared by the record formats, and the replay that checks every game."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import veltrix

__all__ = ["Game", "game_from_record", "replay", "wthor_score"]


@dataclass(frozen=True, slots=True)
class Game:
    """One game: its moves from the initial position and what is known of it.

    `moves` is a transcript ("f5d6c3...", passes left out); `black_discs` and `white_discs`
    are the discs on the board after replaying it. The other fields are None where the
    source does not say: `score` is WTHOR's stored count of Black's discs (empty squares
    going to the winner), `theoretical_score` WTHOR's perfect-play score, `result` GGF's RE
    (Black's disc difference), `date` GGF's DT or WTHOR's year.
    """

    moves: str
    black_discs: int
    white_discs: int
    black_name: str | None = None
    white_name: str | None = None
    score: int | None = None
    theoretical_score: int | None = None
    result: float | None = None
    date: str | None = None
    tournament: str | None = None

    @property
    def disc_difference(self) -> int:
        """Black's discs minus White's on the final board."""
        return self.black_discs - self.white_discs

    def to_record(self) -> dict[str, Any]:
        """The game as a JSONL object shaped like veltrix-match's game lines."""
        record: dict[str, Any] = {
            "type": "game",
            "moves": self.moves,
            "black_discs": self.black_discs,
            "white_discs": self.white_discs,
            "black_name": self.black_name,
            "white_name": self.white_name,
        }
        for key in ("score", "theoretical_score", "result", "date", "tournament"):
            value = getattr(self, key)
            if value is not None:
                record[key] = value
        return record


def replay(moves: str) -> veltrix.Board:
    """The board after `moves` from the initial position; ValueError for an illegal move."""
    return veltrix.Board.from_transcript(moves)


def wthor_score(black: int, white: int) -> int:
    """Black's discs as WTHOR stores them: the empty squares go to the side ahead."""
    empty = 64 - black - white
    if black > white:
        return black + empty
    if black < white:
        return black
    return black + empty // 2


def _optional(record: Mapping[str, Any], key: str, kind: type) -> Any:
    value = record.get(key)
    if value is not None and not isinstance(value, kind):
        raise ValueError(f"{key} must be a {kind.__name__} (got {value!r})")
    return value


def game_from_record(record: Mapping[str, Any]) -> Game:
    """A Game from a JSONL object: veltrix-match's game lines or those this module writes.

    The moves are replayed (ValueError for an illegal one) and the disc counts taken from
    the replay. veltrix-match's lines name the players through "program1"/"program2" and
    "black" (1 or 2: which of them played Black).
    """
    moves = record.get("moves")
    if not isinstance(moves, str):
        raise ValueError(f"a game needs its moves as a transcript string (got {moves!r})")
    board = replay(moves)
    if "program1" in record or "program2" in record:
        first, second = record.get("program1"), record.get("program2")
        black, white = (first, second) if record.get("black", 1) == 1 else (second, first)
    else:
        black, white = record.get("black_name"), record.get("white_name")
    result = record.get("result")
    return Game(
        moves=moves,
        black_discs=board.black_piece_num(),
        white_discs=board.white_piece_num(),
        black_name=None if black is None else str(black),
        white_name=None if white is None else str(white),
        score=_optional(record, "score", int),
        theoretical_score=_optional(record, "theoretical_score", int),
        result=float(result) if isinstance(result, (int, float)) else None,
        date=_optional(record, "date", str),
        tournament=_optional(record, "tournament", str),
    )
