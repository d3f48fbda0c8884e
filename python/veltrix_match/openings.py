"""Opening sets: a file of transcripts, or the built-in set of short distinct openings.

An opening is a transcript: square names from the initial position ("f5d6c3", case-insensitive,
passes implicit, "" for the initial position itself). Each opening is played twice, once with
each program as Black, so an unbalanced opening costs neither side.
"""

from __future__ import annotations

import random
import struct
from collections.abc import Iterable, Iterator
from pathlib import Path

import veltrix

__all__ = ["BUILTIN_PLIES", "OpeningsError", "builtin_openings", "distinct_openings", "game_file_kind",
           "load_openings", "openings_from_games", "read_openings"]

#: Plies of the built-in openings: deep enough for about a thousand distinct positions,
#: shallow enough to leave the game to the programs.
BUILTIN_PLIES = 6


class OpeningsError(ValueError):
    """An openings file that cannot be used; the message names the file and line."""


def read_openings(path: str | Path) -> list[str]:
    """The transcripts of an openings file, in file order.

    One transcript per line (lines end at "\n" or "\r\n"); blank lines and lines starting with "#" are skipped, surrounding
    blanks removed. Every transcript is checked against the rules here, so a bad line is
    reported with its line number before any program starts. Raises OpeningsError for an
    unreadable file, an illegal or unparsable transcript, or a file with no opening at all.
    """
    try:
        text = Path(path).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as error:
        raise OpeningsError(f"cannot read openings file {path}: {error}") from None
    openings = []
    # Lines end at "\n" alone ("\r\n" too, by the strip below); str.splitlines() would
    # also break at form feeds, vertical tabs and Unicode separators inside a comment.
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    for number, line in enumerate(lines, start=1):
        transcript = line.strip()
        if not transcript or transcript.startswith("#"):
            continue
        try:
            veltrix.Board.from_transcript(transcript)
        except ValueError as error:
            raise OpeningsError(f"{path}:{number}: {error}") from None
        openings.append(transcript)
    if not openings:
        raise OpeningsError(f"no openings in {path}")
    return openings


def _lines(board: veltrix.Board, moves: list[str], plies: int) -> Iterator[tuple[veltrix.Board, str]]:
    """Every (position, transcript) reached in `plies` more moves; passes do not count."""
    if plies == 0:
        yield board, "".join(moves)
        return
    if board.is_game_over():
        return
    if board.is_pass():
        board = board.clone()
        board.do_pass()
    for move in board.get_legal_moves_vec():
        child = board.clone()
        child.do_move(move)
        moves.append(veltrix.Board.square_name(move))
        yield from _lines(child, moves, plies - 1)
        moves.pop()


def distinct_openings(plies: int) -> list[str]:
    """One transcript for each position `plies` moves from the start, up to symmetry.

    Positions equal under one of the board's eight symmetries (rotations and reflections)
    count once; the transcript kept is the first in square order of the moves.
    """
    if plies < 0:
        raise ValueError(f"plies must not be negative (got {plies})")
    seen: set[tuple[int, int, veltrix.Turn]] = set()
    openings = []
    for board, transcript in _lines(veltrix.Board(), [], plies):
        key = board.canonical().get_board()
        if key not in seen:
            seen.add(key)
            openings.append(transcript)
    return openings


def builtin_openings(seed: int, plies: int = BUILTIN_PLIES) -> list[str]:
    """The built-in set: distinct_openings(plies) in an order shuffled by `seed`."""
    openings = distinct_openings(plies)
    random.Random(seed).shuffle(openings)
    return openings


def openings_from_games(transcripts: Iterable[str], plies: int) -> list[str]:
    """The first `plies` moves of each game, one per position up to the eight symmetries.

    Games shorter than `plies` moves are left out; the transcript kept for a position is
    that of the first game reaching it.
    """
    if plies < 0:
        raise ValueError(f"plies must not be negative (got {plies})")
    seen: set[tuple[int, int, veltrix.Turn]] = set()
    openings = []
    for moves in transcripts:
        if len(moves) < 2 * plies:
            continue
        opening = moves[:2 * plies].lower()
        key = veltrix.Board.from_transcript(opening).canonical().get_board()
        if key not in seen:
            seen.add(key)
            openings.append(opening)
    return openings


def game_file_kind(path: str | Path) -> str | None:
    """"ggf" or "wtb" when `path` holds game records (by suffix, else by content), else None."""
    suffix = Path(path).suffix.lower()
    if suffix in (".ggf", ".wtb"):
        return suffix[1:]
    try:
        with open(path, "rb") as file:
            head = file.read(4096)
            size = file.seek(0, 2)
    except OSError:
        return None
    if head.lstrip().startswith(b"(;"):
        return "ggf"
    if len(head) >= 16 and size > 16 and size - 16 == 68 * struct.unpack_from("<I", head, 4)[0]:
        return "wtb"
    return None


def load_openings(path: str | Path, plies: int = BUILTIN_PLIES, *, cut_lines: bool = False) -> list[str]:
    """The openings of a file: a GGF or WTHOR file's games cut to `plies` moves and made
    distinct (openings_from_games; malformed games skipped), else read_openings: the lines
    whole, or with `cut_lines` cut and made distinct as a game file's games are."""
    kind = game_file_kind(path)
    if kind is None:
        transcripts = read_openings(path)
        if not cut_lines:
            return transcripts
        openings = openings_from_games(transcripts, plies)
        if not openings:
            raise OpeningsError(f"no line of {path} has {plies} moves to take an opening from")
        return openings
    from . import records  # the record formats are needed only here

    try:
        games = (records.read_ggf(path, strict=False) if kind == "ggf"
                 else records.read_wthor(path, strict=False))
    except (OSError, ValueError) as error:
        raise OpeningsError(f"cannot read openings file {path}: {error}") from None
    openings = openings_from_games((game.moves for game in games), plies)
    if not openings:
        raise OpeningsError(f"no game in {path} has {plies} moves to take an opening from")
    return openings
