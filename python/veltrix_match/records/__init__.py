"""Game records in the formats of the Othello world: GGF, WTHOR (.wtb) and veltrix's JSONL.

- `read_ggf(path)`, `read_wthor(path, players=..., tournaments=...)`: lists of `Game`, every
  game replayed on a `veltrix.Board` (ValueError naming the game for a bad one; strict=False
  skips it);
- `write_ggf(path, games)`, `write_wthor(path, games)`: from `Game` objects or veltrix-match's
  JSONL game dicts; `read_jsonl(path)`, `write_jsonl(path, games)`;
- `python -m veltrix_match.records convert IN OUT` converts by suffix (.jsonl, .ggf, .wtb).
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any

from . import ggf, wthor
from .game import Game, game_from_record, replay, wthor_score
from .ggf import board_tag, format_ggf, parse_ggf

__all__ = [
    "Game",
    "GameLike",
    "as_game",
    "board_tag",
    "format_ggf",
    "game_from_record",
    "parse_ggf",
    "read_games",
    "read_ggf",
    "read_jsonl",
    "read_wthor",
    "wthor_name_files",
    "replay",
    "write_games",
    "write_ggf",
    "write_jsonl",
    "write_wthor",
    "wthor_score",
]

GameLike = Game | Mapping[str, Any]

read_ggf = ggf.read_ggf
read_wthor = wthor.read_wthor


def as_game(game: GameLike) -> Game:
    """`game` itself, or the Game of a JSONL game dict."""
    return game if isinstance(game, Game) else game_from_record(game)


def write_ggf(path: str | Path, games: Iterable[GameLike]) -> None:
    """A GGF file of `games` (Game objects or JSONL game dicts), one game a line."""
    ggf.write_ggf(path, (as_game(game) for game in games))


def write_wthor(path: str | Path, games: Iterable[GameLike], *, players: str | Path | None = None,
                tournaments: str | Path | None = None) -> None:
    """A .wtb file of `games` (and .JOU/.TRN name files when their paths are given)."""
    wthor.write_wthor(path, [as_game(game) for game in games], players=players, tournaments=tournaments)


def read_jsonl(path: str | Path, *, strict: bool = True, errors: list[str] | None = None) -> list[Game]:
    """The game lines of a JSONL file (veltrix-match's --out or write_jsonl); others skipped."""
    games = []
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, start=1):
            if not line.strip():
                continue
            try:
                record = json.loads(line)
                if not isinstance(record, dict):
                    raise ValueError("not a JSON object")
                if record.get("type", "game") != "game":
                    continue
                games.append(game_from_record(record))
            except ValueError as error:
                message = f"{path}:{number}: {error}"
                if strict:
                    raise ValueError(message) from None
                if errors is not None:
                    errors.append(message)
    return games


def write_jsonl(path: str | Path, games: Iterable[GameLike]) -> None:
    """One JSON object a game, shaped as veltrix-match's game lines ("type": "game", ...)."""
    with open(path, "w", encoding="utf-8") as out:
        for game in games:
            out.write(json.dumps(as_game(game).to_record()) + "\n")


SUFFIXES = (".jsonl", ".ggf", ".wtb")


def _suffix(path: str | Path) -> str:
    suffix = Path(path).suffix.lower()
    if suffix not in SUFFIXES:
        raise ValueError(f"{path}: unknown format (the suffix must be one of {', '.join(SUFFIXES)})")
    return suffix


def read_games(path: str | Path, *, strict: bool = True, errors: list[str] | None = None) -> list[Game]:
    """The games of a file in the format its suffix names."""
    suffix = _suffix(path)
    if suffix == ".ggf":
        return read_ggf(path, strict=strict, errors=errors)
    if suffix == ".wtb":
        players, tournaments = wthor_name_files(path)
        return read_wthor(path, players=players, tournaments=tournaments, strict=strict, errors=errors)
    return read_jsonl(path, strict=strict, errors=errors)


def wthor_name_files(path: str | Path) -> tuple[Path | None, Path | None]:
    """The .JOU and .TRN files beside a .wtb (the same stem, else WTHOR.JOU and WTHOR.TRN)."""
    folder, stem = Path(path).parent, Path(path).stem

    def find(suffix: str) -> Path | None:
        for name in (f"{stem}.{suffix}", f"{stem}.{suffix.lower()}", f"WTHOR.{suffix}", f"wthor.{suffix.lower()}"):
            if (folder / name).is_file():
                return folder / name
        return None

    return find("JOU"), find("TRN")


def write_games(path: str | Path, games: Iterable[GameLike]) -> None:
    """`games` written in the format the suffix of `path` names."""
    suffix = _suffix(path)
    if suffix == ".ggf":
        write_ggf(path, games)
    elif suffix == ".wtb":
        # Names live in .JOU/.TRN files beside the database, named after it.
        objects = [as_game(game) for game in games]
        named = any(game.black_name or game.white_name for game in objects)
        target = Path(path)
        write_wthor(path, objects, players=target.with_suffix(".JOU") if named else None,
                    tournaments=target.with_suffix(".TRN") if any(game.tournament for game in objects) else None)
    else:
        write_jsonl(path, games)
