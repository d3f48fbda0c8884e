"""veltrix-match's links to the Othello world: NBoard engines as programs ("nboard:CMD"),
openings from GGF and WTHOR files, and every game written out as GGF (--ggf-out).

Kept apart from cli.py, which only calls the functions here.
"""

from __future__ import annotations

import argparse
import datetime
import shlex
from collections.abc import Sequence
from pathlib import Path
from typing import IO

from . import nboard
from .arguments import whole_number
from .names import distinct_name
from .match import Match, Pairing
from .openings import BUILTIN_PLIES
from .records import Game, forfeit_result, format_ggf
from .results import GameResult

__all__ = ["DEFAULT_NBOARD_DEPTH", "GgfOut", "add_arguments", "nboard_names", "program_command"]

#: Search depth of NBoard engines unless --nboard-depth says otherwise: shallow enough for
#: any engine to move well within the default time limit.
DEFAULT_NBOARD_DEPTH = 4


def add_arguments(parser: argparse.ArgumentParser) -> None:
    # No default here: given with a transcript file it cuts the lines, which are otherwise
    # played whole; the built-in set has no longer lines to cut.
    parser.add_argument("--opening-plies", type=whole_number(0, 60), default=None, metavar="K",
                        help="the first K moves of each game of a GGF or WTHOR --openings file "
                             f"(default {BUILTIN_PLIES}) or of each line of a transcript file (default: "
                             "the whole line); positions counted once under symmetry")
    parser.add_argument("--ggf-out", metavar="FILE.ggf", help="write every game as GGF as it is counted")
    parser.add_argument("--nboard-depth", type=whole_number(1, 60), default=DEFAULT_NBOARD_DEPTH, metavar="N",
                        help="search depth of programs given as 'nboard:ENGINE COMMAND' "
                             f"(default {DEFAULT_NBOARD_DEPTH})")
    parser.add_argument("--nboard-protocol-version", type=int, choices=(1, 2), default=None, metavar="V",
                        help="the version NBoard engines are greeted with, 'nboard V' (default 2, the "
                             "protocol's current one; 1 quiets Edax's complaint about it)")
    parser.add_argument("--nboard-dir", metavar="DIR",
                        help="working directory of the NBoard engines (where Edax finds its data)")


def program_command(text: str, args: argparse.Namespace) -> list[str]:
    """A program's command line; "nboard:ENGINE COMMAND" runs the engine through the adapter.

    ValueError when the text cannot be split as a shell splits words.
    """
    if not text.startswith(nboard.PREFIX):
        return shlex.split(text)
    engine = text[len(nboard.PREFIX):].strip()
    if not shlex.split(engine):
        return []
    return nboard.adapter_command(engine, depth=args.nboard_depth, move_time=args.time_limit,
                                  directory=args.nboard_dir, protocol_version=args.nboard_protocol_version)


def nboard_names(texts: Sequence[str], commands: Sequence[Sequence[str]], names: Sequence[str]) -> list[str]:
    """`names` with each NBoard program's replaced by the name its engine gives, or by its
    engine's program name when it gives none (for the adapter's own command line, the name
    its --name gives, else the engine's); made distinct again."""
    result: list[str] = []
    for text, command, name in zip(texts, commands, names):
        if text.startswith(nboard.PREFIX):
            engine = shlex.split(text[len(nboard.PREFIX):])
            name = nboard.engine_name(command) or " ".join([Path(engine[0]).name, *engine[1:]])
        elif nboard.is_adapter_command(command) or (command and Path(command[0]).name == "veltrix-nboard"):
            # The adapter written out, as one does to give it options such as --name.
            name = nboard.engine_name(command) or name
        result.append(distinct_name(name, result))
    return result


class GgfOut:
    """--ggf-out: one GGF line a counted game, with the programs' names, date and result.

    The file is written afresh: a resumed match writes the games of its earlier runs first
    (`write_restored`), so that it holds every game of the match once, whatever the file
    held when the match was cut short.
    """

    def __init__(self, path: str) -> None:
        self.path = path
        self._file: IO[str] = open(path, "w", encoding="utf-8")
        self._failed = False

    def write(self, match: Match, pairing: Pairing, result: GameResult) -> None:
        first, second = match.programs[pairing.first].name, match.programs[pairing.second].name
        black, white = (first, second) if result["black"] == 1 else (second, first)
        now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S GMT")
        game = Game(result["moves"], result["black_discs"], result["white_discs"], black, white,
                    result=forfeit_result(result) or float(result["black_discs"] - result["white_discs"]),
                    date=now,
                    tournament="veltrix-match")
        try:
            self._file.write(format_ggf(game) + "\n")
            self._file.flush()
        except OSError as error:
            # Named, so that the match stops with a message that says which file failed.
            self._failed = True
            raise OSError(error.errno, f"cannot write {self.path}: {error.strerror}") from None

    def write_restored(self, match: Match, results: Sequence[GameResult]) -> None:
        """Writes the games counted from an earlier run (Match.restore), as they were counted.

        Their date is now's: the match file does not keep when a game was played.
        """
        for result in results:
            self.write(match, match.pairings[result["pairing"]], result)

    def close(self) -> None:
        """Closes the file; after a failed write, the line that could not be written is dropped
        (the failure was reported then) rather than failing again here."""
        try:
            self._file.close()
        except OSError as error:
            if not self._failed:
                raise OSError(error.errno, f"cannot write {self.path}: {error.strerror}") from None
