"""GGF, the game format of the GGS server and of engines' own exports.

A game is ``(;GM[Othello]PC[..]DT[..]PB[..]PW[..]RE[..]TI[..]TY[8]BO[8 <64 squares> <side>]
B[f5]W[d6]...;)``: tags KEY[value] in any order; squares of BO are ``*`` (Black), ``O``
(White) and ``-``; a move is a square name with an optional ``/eval/time``, or ``PA`` for a
pass. A file holds any number of games. Only games from the standard initial position are
read as transcripts (a game from another start is malformed here).
"""

from __future__ import annotations

import datetime
import re
from collections.abc import Iterable
from pathlib import Path

import veltrix

from .game import Game

__all__ = ["board_tag", "format_ggf", "parse_ggf", "read_ggf", "write_ggf"]

_TAG = re.compile(r"\s*([A-Za-z0-9]+)\[([^\]]*)\]")
_INITIAL = "-" * 27 + "O*------*O" + "-" * 27
_TO_GGF = str.maketrans("XO", "*O")


def board_tag(board: veltrix.Board) -> str:
    """The BO value of a position: "8 <64 squares> <side to move>"."""
    side = "*" if board.get_board()[2] == veltrix.Turn.BLACK else "O"
    return f"8 {board.get_board_line().translate(_TO_GGF)} {side}"


def _line_of(text: str, offset: int) -> int:
    return text.count("\n", 0, offset) + 1


def _parse_board(value: str) -> tuple[str, str]:
    words = value.split()
    if not words or words[0] != "8":
        raise ValueError(f"BO[{value}] is not an 8x8 board")
    squares = "".join(words[1:])
    if len(squares) != 65 or squares[64] not in "*O" or set(squares[:64]) - set("*O-"):
        raise ValueError(f"BO[{value}] is not 64 squares and a side to move")
    return squares[:64], squares[64]


def _parse_result(value: str) -> float | None:
    number = value.split(":", 1)[0].strip()
    try:
        return float(number)
    except ValueError:
        return None  # "?" or an unfinished game


def _clean(value: str | None) -> str | None:
    if value is None:
        return None
    value = value.strip()
    return value or None


def parse_game(body: str) -> Game:
    """One game from the text between "(;" and ";)"; ValueError when it is malformed."""
    tags: dict[str, str] = {}
    board = veltrix.Board()
    moves: list[str] = []
    position = 0
    while position < len(body):
        match = _TAG.match(body, position)
        if match is None:
            rest = body[position:].strip()
            if not rest:
                break
            raise ValueError(f"unexpected text {rest[:20]!r}")
        position = match.end()
        key, value = match[1].upper(), match[2]
        if key in ("B", "W"):
            if "BO" in tags and _parse_board(tags["BO"]) != (_INITIAL, "*"):
                raise ValueError("the game does not start from the initial position")
            _play(board, key, value, len(moves) + 1)
            if value.split("/", 1)[0].strip().upper() != "PA":
                moves.append(value.split("/", 1)[0].strip().lower())
        else:
            tags.setdefault(key, value)
    if tags.get("GM", "Othello").strip().lower() != "othello":
        raise ValueError(f"GM[{tags['GM']}] is not an Othello game")
    if "BO" in tags and _parse_board(tags["BO"]) != (_INITIAL, "*"):
        raise ValueError("the game does not start from the initial position")
    return Game(
        moves="".join(moves),
        black_discs=board.black_piece_num(),
        white_discs=board.white_piece_num(),
        black_name=_clean(tags.get("PB")),
        white_name=_clean(tags.get("PW")),
        result=_parse_result(tags["RE"]) if "RE" in tags else None,
        date=_clean(tags.get("DT")),
        tournament=_clean(tags.get("PC")),
    )


def _play(board: veltrix.Board, colour: str, value: str, number: int) -> None:
    square = value.split("/", 1)[0].strip()
    if board.is_game_over():
        raise ValueError(f"move {number} ({colour}[{square}]) after the end of the game")
    if square.upper() == "PA":
        if not board.is_pass():
            raise ValueError(f"move {number}: {colour} passes with a legal move")
        if (board.get_board()[2] == veltrix.Turn.BLACK) != (colour == "B"):
            raise ValueError(f"move {number}: {colour} passes out of turn")
        board.do_pass()
        return
    if board.is_pass():
        board.do_pass()  # a pass the file left out
    if (board.get_board()[2] == veltrix.Turn.BLACK) != (colour == "B"):
        raise ValueError(f"move {number}: {colour}[{square}] out of turn")
    try:
        board.do_move(veltrix.Board.parse_square(square))
    except ValueError:
        raise ValueError(f"move {number}: {colour}[{square}] is not a legal move") from None


def parse_ggf(text: str, *, source: str = "<text>", strict: bool = True,
              errors: list[str] | None = None) -> list[Game]:
    """The games of a GGF text; see read_ggf."""
    games = []
    position, index = 0, 0
    while (start := text.find("(;", position)) >= 0:
        end = text.find(";)", start + 2)
        following = text.find("(;", start + 2)
        try:
            if end < 0 or 0 <= following < end:
                position = len(text) if following < 0 else following
                raise ValueError("no closing ';)'")
            position = end + 2
            games.append(parse_game(text[start + 2:end]))
        except ValueError as error:
            message = f"{source}:{_line_of(text, start)}: game {index}: {error}"
            if strict:
                raise ValueError(message) from None
            if errors is not None:
                errors.append(message)
        index += 1
    return games


def read_ggf(path: str | Path, *, strict: bool = True, errors: list[str] | None = None) -> list[Game]:
    """The games of a GGF file, each replayed on a Board.

    Unknown tags are skipped. A malformed game (bad tag text, an illegal, out-of-turn or
    unparsable move, no closing ";)", a start other than the initial position) is a
    ValueError naming its line and index in the file; with strict=False it is skipped (its
    message appended to `errors` when given).
    """
    try:
        text = Path(path).read_text(encoding="utf-8")
    except UnicodeDecodeError:
        text = Path(path).read_text(encoding="latin-1")
    return parse_ggf(text, source=str(path), strict=strict, errors=errors)


def _value(text: str | None) -> str:
    # A tag value ends at "]", and a record is one line.
    return (text or "?").replace("]", ")").replace("\n", " ").replace("\r", " ")


def format_ggf(game: Game, *, place: str = "veltrix") -> str:
    """One game on one line; passes written as PA; RE the game's result, else the replay's
    disc difference (Black's discs minus White's, as GGS writes it: "+12.000")."""
    board = veltrix.Board()
    initial = board_tag(board)
    tokens = []
    for i in range(0, len(game.moves), 2):
        if board.is_pass() and not board.is_game_over():
            tokens.append(("B" if board.get_board()[2] == veltrix.Turn.BLACK else "W") + "[PA]")
            board.do_pass()
        colour = "B" if board.get_board()[2] == veltrix.Turn.BLACK else "W"
        square = game.moves[i:i + 2].lower()
        board.do_move(veltrix.Board.parse_square(square))
        tokens.append(f"{colour}[{square}]")
    date = game.date or datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S GMT")
    # The recorded result when there is one (a forfeit ends a game early), else the board's.
    difference = game.result if game.result is not None else board.black_piece_num() - board.white_piece_num()
    return (f"(;GM[Othello]PC[{_value(game.tournament or place)}]DT[{_value(date)}]"
            f"PB[{_value(game.black_name)}]PW[{_value(game.white_name)}]RE[{difference:+.3f}]"
            f"TI[0//0]TY[8]BO[{initial}]{''.join(tokens)};)")


def write_ggf(path: str | Path, games: Iterable[Game]) -> None:
    """A GGF file of `games`, one game a line."""
    with open(path, "w", encoding="utf-8") as out:
        for game in games:
            out.write(format_ggf(game) + "\n")
