"""WTHOR databases (.wtb) and their name files (.JOU players, .TRN tournaments).

Layout (little-endian): a 16-byte header (creation century, year, month, day; number of
games u32; number of records u16; the games' year u16; board size, game type, depth of the
theoretical score, one reserved byte), then 68 bytes a game: tournament u16, Black u16,
White u16, Black's discs u8 (empty squares counted for the winner), Black's theoretical
score u8, 60 moves as 10 * row + column (a1 = 11, h8 = 88), 0 after the last; passes are
not stored. Name files hold the same header and then fixed-size, NUL-padded names.
"""

from __future__ import annotations

import datetime
import struct
from collections.abc import Iterable, Sequence
from pathlib import Path

from .game import Game, replay, wthor_score

__all__ = ["read_names", "read_wthor", "write_names", "write_wthor"]

HEADER = struct.Struct("<BBBBIHHBBBB")
GAME = struct.Struct("<HHHBB60s")
PLAYER_NAME = 20
TOURNAMENT_NAME = 26

# Square byte -> its column letter and its row digit ("?" for a byte that is no square),
# so a whole game becomes a transcript in two C-level translations.
_COLUMNS = bytes(ord("abcdefgh"[v % 10 - 1]) if 1 <= v % 10 <= 8 and 1 <= v // 10 <= 8 else ord("?")
                 for v in range(256))
_ROWS = bytes(ord(str(v // 10)) if 1 <= v % 10 <= 8 and 1 <= v // 10 <= 8 else ord("?")
              for v in range(256))


def _square_byte(name: str) -> int:
    return 10 * int(name[1]) + "abcdefgh".index(name[0]) + 1


def read_names(path: str | Path, size: int) -> list[str]:
    """The names of a .JOU (size 20) or .TRN (size 26) file, in id order."""
    data = Path(path).read_bytes()
    if len(data) < HEADER.size:
        raise ValueError(f"{path}: too short for a WTHOR header ({len(data)} bytes)")
    body = data[HEADER.size:]
    if len(body) % size:
        raise ValueError(f"{path}: {len(body)} bytes of names is not a whole number of {size}-byte names")
    return [body[i:i + size].split(b"\0", 1)[0].decode("latin-1").strip() for i in range(0, len(body), size)]


def _name(names: Sequence[str] | None, index: int) -> str | None:
    if names is None:
        return None
    return names[index] if index < len(names) else None


def read_wthor(
    path: str | Path,
    *,
    players: str | Path | None = None,
    tournaments: str | Path | None = None,
    strict: bool = True,
    errors: list[str] | None = None,
) -> list[Game]:
    """The games of a .wtb file, each replayed on a Board.

    `players` and `tournaments` name a .JOU and a .TRN file for the names. A game with an
    illegal or unreadable move, a move after its last one, or a stored disc count that
    disagrees with the replay is a ValueError naming the game's index; with strict=False it
    is skipped instead (its message appended to `errors` when given), and a file shorter
    than its header says yields the games it holds whole. A header that promises fewer games
    than the file holds, or a board size other than 8, is always an error.
    """
    data = Path(path).read_bytes()
    if len(data) < HEADER.size:
        raise ValueError(f"{path}: too short for a WTHOR header ({len(data)} bytes)")
    header = HEADER.unpack_from(data)
    count, year, board_size = header[4], header[6], header[7]
    if board_size not in (0, 8):
        raise ValueError(f"{path}: board size {board_size} is not 8 (only 8x8 games are read)")
    body = len(data) - HEADER.size
    held, spare = divmod(body, GAME.size)
    if held != count or spare:
        message = (f"{path}: the header says {count} games but the file holds "
                   f"{body} bytes ({held} games and {spare} bytes)")
        if strict or held > count:
            raise ValueError(message)
        if errors is not None:
            errors.append(message)
        count = held
    player_names = read_names(players, PLAYER_NAME) if players is not None else None
    tournament_names = read_names(tournaments, TOURNAMENT_NAME) if tournaments is not None else None
    date = str(year) if year else None
    games: list[Game] = []
    end = HEADER.size + count * GAME.size
    for index, (tournament, black, white, score, theoretical, raw) in enumerate(
            GAME.iter_unpack(data[HEADER.size:end])):
        length = raw.find(0)
        if length < 0:
            length = 60
        text = bytearray(2 * length)
        played = raw[:length]
        text[0::2] = played.translate(_COLUMNS)
        text[1::2] = played.translate(_ROWS)
        try:
            if raw.count(0) != 60 - length:
                raise ValueError(f"a move after the end of the game at index {length}")
            moves = text.decode("ascii")
            board = replay(moves)
            black_discs, white_discs = board.black_piece_num(), board.white_piece_num()
            expected = wthor_score(black_discs, white_discs)
            if score != expected:
                raise ValueError(f"stored score {score} but the replay gives {expected} "
                                 f"({black_discs}-{white_discs})")
        except ValueError as error:
            message = f"{path}: game {index}: {error}"
            if strict:
                raise ValueError(message) from None
            if errors is not None:
                errors.append(message)
            continue
        games.append(Game(moves, black_discs, white_discs, _name(player_names, black),
                          _name(player_names, white), score, theoretical, None, date,
                          _name(tournament_names, tournament)))
    return games


def _header(count: int, records: int, year: int) -> bytes:
    today = datetime.date.today()
    return HEADER.pack(today.year // 100, today.year % 100, today.month, today.day, count, records,
                       year, 8, 0, 0, 0)


def write_names(path: str | Path, names: Sequence[str], size: int) -> None:
    """A .JOU (size 20) or .TRN (size 26) file of `names`, latin-1, cut to size - 1 bytes."""
    body = b"".join(name.encode("latin-1", "replace")[:size - 1].ljust(size, b"\0") for name in names)
    Path(path).write_bytes(_header(0, len(names), 0) + body)


def _year(games: Sequence[Game]) -> int:
    for game in games:
        if game.date and game.date[:4].isdigit():
            return int(game.date[:4])
    return datetime.date.today().year


def write_wthor(
    path: str | Path,
    games: Iterable[Game],
    *,
    players: str | Path | None = None,
    tournaments: str | Path | None = None,
) -> None:
    """A .wtb file of `games` (and the .JOU/.TRN files of their names when paths are given).

    Players and tournaments are numbered in order of first appearance; a game without a
    name gets id 0 of an unnamed entry. The stored score is computed from the replay; the
    theoretical score is the game's own, or the stored score when it has none.
    """
    games = list(games)
    player_ids: dict[str, int] = {"": 0}
    tournament_ids: dict[str, int] = {"": 0}
    parts = []
    for index, game in enumerate(games):
        board = replay(game.moves)
        score = wthor_score(board.black_piece_num(), board.white_piece_num())
        theoretical = game.theoretical_score if game.theoretical_score is not None else score
        if not 0 <= theoretical <= 64:
            raise ValueError(f"game {index}: theoretical score {theoretical} is not 0..64")
        squares = [_square_byte(game.moves[i:i + 2].lower()) for i in range(0, len(game.moves), 2)]
        ids = [player_ids.setdefault(name or "", len(player_ids)) for name in (game.black_name, game.white_name)]
        tournament = tournament_ids.setdefault(game.tournament or "", len(tournament_ids))
        if max(*ids, tournament) > 0xFFFF:
            raise ValueError(f"game {index}: more than 65535 distinct names")
        parts.append(GAME.pack(tournament, ids[0], ids[1], score, theoretical, bytes(squares)))
    Path(path).write_bytes(_header(len(games), 0, _year(games)) + b"".join(parts))
    if players is not None:
        write_names(players, list(player_ids), PLAYER_NAME)
    if tournaments is not None:
        write_names(tournaments, list(tournament_ids), TOURNAMENT_NAME)
