"""What a match shows: the live progress line, the final tables and the JSON summary."""

from __future__ import annotations

import math
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, TextIO

from .match import Match, Pairing
from .stats import draw_ratio, elo_difference, format_elo, los, score

__all__ = ["Progress", "Standing", "format_pairing", "format_report", "gauntlet_line", "standings", "summary"]

PENTANOMIAL_LABEL = "pairs scoring 0, 1/2, 1, 3/2, 2"


@dataclass(frozen=True)
class Standing:
    """One program's results against the whole field."""

    program: int
    wins: int
    losses: int
    draws: int

    @property
    def games(self) -> int:
        return self.wins + self.losses + self.draws

    @property
    def points(self) -> float:
        return self.wins + self.draws / 2


def standings(match: Match) -> list[Standing]:
    """Every program's totals, best first (points, then fewer games, then name order)."""
    totals = {index: [0, 0, 0] for index in range(len(match.programs))}
    for pairing in match.pairings:
        tally = pairing.tally
        for index, wins, losses in (
            (pairing.first, tally.wins, tally.losses),
            (pairing.second, tally.losses, tally.wins),
        ):
            totals[index][0] += wins
            totals[index][1] += losses
            totals[index][2] += tally.draws
    rows = [Standing(index, *counts) for index, counts in totals.items()]
    return sorted(rows, key=lambda row: (-row.points, row.games, row.program))


def _percent(value: float) -> str:
    return f"{100 * value:.1f}%"


def _score_text(wins: int, losses: int, draws: int) -> str:
    return _percent(score(wins, losses, draws)) if wins + losses + draws else "-"


def _table(header: Sequence[str], rows: Sequence[Sequence[str]], left: int = 1) -> list[str]:
    """Columns padded to their widest cell; the first `left` columns aligned left."""
    widths = [max(len(row[column]) for row in [header, *rows]) for column in range(len(header))]
    lines = []
    for row in [header, *rows]:
        cells = [
            cell.ljust(width) if column < left else cell.rjust(width)
            for column, (cell, width) in enumerate(zip(row, widths))
        ]
        lines.append("  ".join(cells).rstrip())
    return lines


def _pairing_row(match: Match, pairing: Pairing) -> list[str]:
    tally = pairing.tally
    counts = (tally.wins, tally.losses, tally.draws)
    elo, margin = elo_difference(*counts)
    first, second = match.programs[pairing.first].name, match.programs[pairing.second].name
    return [
        f"{first} vs {second}",
        str(tally.games),
        *map(str, counts),
        _score_text(*counts),
        format_elo(elo, margin) if tally.games else "-",
        # No game says nothing of who is better: not the 50% that no wins and no losses give.
        _percent(los(*counts)) if tally.games else "-",
        _percent(draw_ratio(*counts)) if tally.games else "-",
        " ".join(map(str, tally.pentanomial)),
    ]


PAIRING_HEADER = ["Pairing", "Games", "W", "L", "D", "Score", "Elo (95%)", "LOS", "Draws", "Pentanomial"]


def format_pairing(match: Match, pairing: Pairing) -> str:
    """A one-line summary of a pairing for the progress line."""
    tally = pairing.tally
    first, second = match.programs[pairing.first].name, match.programs[pairing.second].name
    text = f"{first} vs {second} +{tally.wins} -{tally.losses} ={tally.draws}"
    if tally.games:
        text += f"  Elo {format_elo(*elo_difference(tally.wins, tally.losses, tally.draws))}"
    return text


def format_report(match: Match, seconds: float | None = None) -> str:
    """The final tables: each pairing's results; a round robin's standings; the SPRT; Elo."""
    lines = [f"Games played: {match.played} of {match.total_games}"]
    if seconds is not None:
        lines[0] += f" in {seconds:.1f} s"
    if match.decided:
        lines[0] += " (stopped by the SPRT)"
    lines += _table(PAIRING_HEADER, [_pairing_row(match, pairing) for pairing in match.pairings])
    lines.append(f"Pentanomial: {PENTANOMIAL_LABEL} (first program's points)")
    # Each program once, all its pairings together: "p 4, p 4" in a round robin says nothing.
    charged = [0] * len(match.programs)
    for pairing in match.pairings:
        for index, count in zip((pairing.first, pairing.second), pairing.tally.forfeits):
            charged[index] += count
    forfeits = [f"{program.name} {count}" for program, count in zip(match.programs, charged) if count]
    if forfeits:
        lines.append("Forfeits: " + ", ".join(forfeits))
    if match.adjudicate_empties is not None:
        adjudicated = sum(pairing.tally.adjudicated for pairing in match.pairings)
        lines.append(f"Adjudicated: {adjudicated} of {match.played} games, solved exactly from "
                     f"{match.adjudicate_empties} empty squares")
    if match.gauntlet:
        lines += ["", gauntlet_line(match)]
    elif len(match.programs) > 2:
        lines += ["", "Standings"]
        rows = []
        for rank, row in enumerate(standings(match), start=1):
            counts = (row.wins, row.losses, row.draws)
            elo_text = format_elo(*elo_difference(*counts)) if row.games else "-"
            rows.append([
                str(rank), match.programs[row.program].name, f"{row.points:g}", str(row.games),
                *map(str, counts), _score_text(*counts), elo_text,
            ])
        header = ["#", "Program", "Points", "Games", "W", "L", "D", "Score", "Elo vs field"]
        lines += _table(header, rows, left=2)
    if match.sprt_state:
        lines.append(match.sprt_state.describe())
    if len(match.programs) == 2:
        tally = match.pairings[0].tally
        counts = (tally.wins, tally.losses, tally.draws)
        elo, margin = elo_difference(*counts)
        first, second = (program.name for program in match.programs)
        if tally.games:
            lines.append(
                f"Elo difference: {format_elo(elo, margin)} (95%), LOS {_percent(los(*counts))}"
                f" ({first} against {second}, {tally.games} games)"
            )
        else:
            lines.append(f"Elo difference: none, no game was played ({first} against {second})")
    return "\n".join(lines)


def gauntlet_line(match: Match) -> str:
    """The gauntlet's first program against the whole field, all its games together."""
    row = next(row for row in standings(match) if row.program == 0)
    counts = (row.wins, row.losses, row.draws)
    name = match.programs[0].name
    if not row.games:
        return f"Overall: {name} played no game against the {len(match.programs) - 1} others"
    return (f"Overall: {name} {row.points:g}/{row.games} against {len(match.programs) - 1} others "
            f"(+{row.wins} -{row.losses} ={row.draws}), score {_score_text(*counts)}, "
            f"Elo {format_elo(*elo_difference(*counts))} (95%), LOS {_percent(los(*counts))}")


def _number(value: float) -> float | str:
    """A float JSON can hold; infinities become the strings "inf" and "-inf"."""
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return value


def summary(match: Match, /, **extra: Any) -> dict[str, Any]:
    """The final JSON object of a match: settings, each pairing, standings, SPRT."""
    pairings = []
    for pairing in match.pairings:
        tally = pairing.tally
        counts = (tally.wins, tally.losses, tally.draws)
        elo, margin = elo_difference(*counts)
        pairings.append({
            "programs": [match.programs[pairing.first].name, match.programs[pairing.second].name],
            "games": tally.games,
            "wins": tally.wins,
            "losses": tally.losses,
            "draws": tally.draws,
            "score": score(*counts) if tally.games else None,
            "elo": _number(elo) if tally.games else None,
            "elo_margin": _number(margin) if tally.games else None,
            "los": los(*counts),
            "draw_ratio": draw_ratio(*counts),
            "pentanomial": list(tally.pentanomial),
            "forfeits": list(tally.forfeits),
        })
    table = []
    for row in standings(match):
        counts = (row.wins, row.losses, row.draws)
        elo, margin = elo_difference(*counts)
        table.append({
            "program": match.programs[row.program].name,
            "points": row.points,
            "games": row.games,
            "wins": row.wins,
            "losses": row.losses,
            "draws": row.draws,
            "elo": _number(elo) if row.games else None,
            "elo_margin": _number(margin) if row.games else None,
        })
    sprt = None
    if match.sprt and match.sprt_state:
        test, state = match.sprt, match.sprt_state
        sprt = {
            "elo0": test.elo0, "elo1": test.elo1, "alpha": test.alpha, "beta": test.beta,
            "llr": state.llr, "lower": test.lower, "upper": test.upper,
            "decision": state.decision,
        }
    return {
        "type": "summary",
        "programs": [program.name for program in match.programs],
        "commands": [program.command for program in match.programs],
        "games_per_pairing": match.games,
        "games_played": match.played,
        "openings": len(match.openings),
        "time_limit": match.time_limit,
        "concurrency": match.concurrency,
        "forfeit": match.forfeit,
        "gauntlet": match.gauntlet,
        "adjudicate_empties": match.adjudicate_empties,
        **extra,
        "pairings": pairings,
        "standings": table,
        "sprt": sprt,
    }


class Progress:
    """The live progress line, redrawn in place on a terminal; silent elsewhere.

    The standings move when a chunk's games are counted; the game count moves as each game
    finishes (`playing`), redrawn at most every `interval` seconds.
    """

    def __init__(self, stream: TextIO, enabled: bool | None = None, *, interval: float = 0.1,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self._stream = stream
        self.enabled = stream.isatty() if enabled is None else enabled
        self._width = 0
        self._match: Match | None = None
        self._playing = 0  # games of the chunk under way that have finished, not yet counted
        self._interval = interval
        self._clock = clock
        self._drawn = -math.inf

    def update(self, match: Match) -> None:
        """Redraws the line from the games counted."""
        self._match, self._playing = match, 0
        self._draw()

    def playing(self, finished: int) -> None:
        """`finished` games of the chunk under way have ended (not counted yet)."""
        self._playing = finished
        if self._match is not None and self._clock() - self._drawn >= self._interval:
            self._draw()

    def _draw(self) -> None:
        match = self._match
        if not self.enabled or match is None:
            return
        self._drawn = self._clock()
        text = f"games {min(match.played + self._playing, match.total_games)}/{match.total_games}"
        if len(match.pairings) == 1:
            text += "  " + format_pairing(match, match.pairings[0])
        else:
            leader = standings(match)[0]
            text += f"  leader {match.programs[leader.program].name} {leader.points:g}/{leader.games}"
        if match.sprt_state:
            text += f"  LLR {match.sprt_state.llr:+.2f}"
        if self._write("\r" + text.ljust(self._width)):
            self._width = len(text)

    def finish(self) -> None:
        """Ends the line so that what follows starts on a fresh one."""
        if self.enabled and self._width:
            self._write("\n")
            self._width = 0

    def _write(self, text: str) -> bool:
        """Writes and flushes; a terminal that has gone (a hang-up) turns the line off."""
        try:
            self._stream.write(text)
            self._stream.flush()
        except (OSError, ValueError):
            self.enabled = False
            return False
        return True
