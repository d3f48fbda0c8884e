"""What a running match prints: a standard output that may close, and the per-game log.

When standard output is not a terminal (a file, a pipe, a CI log) every finished game gets a
line, cutechess-style, and each pairing a running score every `rating_interval` games:

    Finished game 17 (A vs B, opening f5d6c3): 1-0 {Black wins 40-24}
    Score of A vs B: 12 - 6 - 2  [0.650] 20

("A vs B" is Black vs White in a game line; the first program of the pairing first in a
score line.) A reader that goes away (`| head -2`) closes the pipe: `Stdout` notices, sends
what would follow to /dev/null so that nothing at exit complains, and says so through
`closed`, which the command takes as a request to stop.
"""

from __future__ import annotations

import os
from typing import TextIO

from .match import Match, Pairing
from .results import GameResult, Winner

__all__ = ["GameLog", "Stdout", "game_line", "score_line"]


class Stdout:
    """Line output that turns a closed reader into `closed` instead of an exception.

    Any other failure to write (a full disk, standard output closed before the start, which
    leaves no stream at all) closes it too, the reason kept in `failure` for the caller to say.
    """

    def __init__(self, stream: TextIO | None) -> None:
        self._stream = stream
        self.closed = stream is None
        self.failure: str | None = "it is closed" if stream is None else None

    def isatty(self) -> bool:
        try:
            return self._stream is not None and self._stream.isatty()
        except (OSError, ValueError):
            return False

    def line(self, text: str) -> bool:
        """Writes one line and flushes; False once the reader has gone."""
        if self.closed or self._stream is None:
            return False
        try:
            self._stream.write(text + "\n")
            self._stream.flush()
        except (BrokenPipeError, ConnectionResetError):
            self._close()
        except OSError as error:
            if error.errno not in (32, 104):  # EPIPE, ECONNRESET under another name
                self.failure = error.strerror or str(error)
            self._close()
        return not self.closed

    def _close(self) -> None:
        self.closed = True
        if self._stream is None:
            return
        # The interpreter flushes standard output again at exit; what is still buffered
        # would fail there and print a traceback-like warning. Point the descriptor at
        # /dev/null so that flush has somewhere to go.
        try:
            fd = self._stream.fileno()
        except (OSError, ValueError, AttributeError):
            return
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, fd)
        finally:
            os.close(devnull)


def _result_text(result: GameResult) -> tuple[str, str]:
    """("1-0", "Black wins 40-24") for a game, Black's side first as in the game line."""
    black, white = result["black_discs"], result["white_discs"]
    winner = result["winner"]
    if winner is None:
        return "1/2-1/2", f"Draw {black}-{white}"
    black_won = winner == result["black"]
    colour = "Black" if black_won else "White"
    if result["error"] is not None:
        reply = result.get("reply")
        said = "" if reply is None else f", it replied {reply!r}"
        return ("1-0" if black_won else "0-1"), f"{colour} wins by forfeit: {result['error']}{said}"
    return ("1-0" if black_won else "0-1"), f"{colour} wins {black}-{white}"


def game_line(match: Match, pairing: Pairing, result: GameResult) -> str:
    """The cutechess-style line of a finished game; games are numbered from 1."""
    first, second = match.programs[pairing.first].name, match.programs[pairing.second].name
    black, white = (first, second) if result["black"] == Winner.FIRST else (second, first)
    score, comment = _result_text(result)
    opening = result["opening"] or "start"
    if result.get("adjudicated"):
        comment += f", adjudicated at ply {result.get('adjudicated_ply')}"
    return f"Finished game {result['game'] + 1} ({black} vs {white}, opening {opening}): {score} {{{comment}}}"


def score_line(match: Match, pairing: Pairing) -> str:
    """The pairing's running score from its first program's side."""
    tally = pairing.tally
    first, second = match.programs[pairing.first].name, match.programs[pairing.second].name
    share = tally.points / tally.games if tally.games else 0.0
    return f"Score of {first} vs {second}: {tally.wins} - {tally.losses} - {tally.draws}  [{share:.3f}] {tally.games}"


class GameLog:
    """Prints the game lines and the score every `rating_interval` games of a pairing."""

    def __init__(self, out: Stdout, match: Match, rating_interval: int, enabled: bool) -> None:
        self._out = out
        self._match = match
        self._interval = rating_interval
        self.enabled = enabled

    def game(self, pairing: Pairing, result: GameResult) -> None:
        if not self.enabled:
            return
        self._out.line(game_line(self._match, pairing, result))
        games = pairing.tally.games
        if self._interval and (games % self._interval == 0 or games == pairing.games):
            self._out.line(score_line(self._match, pairing))
