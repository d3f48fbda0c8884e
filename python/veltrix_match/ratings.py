"""`veltrix-match ratings FILE.jsonl ...`: one rating list from the games of many matches.

The ratings are the maximum-likelihood estimate of the logistic (Bradley-Terry) model that
Elo differences stand for, as Ordo and BayesElo fit them: program i scores against program j
with expectation 1 / (1 + 10^((r_j - r_i) / 400)), a draw counting as half a point. The fit
is Hunter's minorise-maximise iteration on the strengths 10^(r / 400); the 95% margins come
from the inverse of the Fisher information at the estimate (the curvature of the likelihood),
for each rating relative to the anchor: a named program (rated 0) or the mean of all (0).

Only games count: the records whose "type" is "game", by the names in "program1" and
"program2" (so a program keeps its rating across matches under the same --name). A program
that won or lost every game has no finite estimate; it is listed as +inf or -inf and the
others are fitted without it.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path

from .stats import Z95, format_elo

__all__ = ["Rating", "fit_ratings", "main", "read_games", "unconnected_groups"]

_SCALE = 400.0 / math.log(10.0)  # Elo per unit of the natural logit


@dataclass(frozen=True)
class Rating:
    """One program's line of the list."""

    name: str
    elo: float
    margin: float  # 95%, relative to the anchor; inf when not bounded
    games: int
    points: float

    @property
    def score(self) -> float:
        return self.points / self.games if self.games else 0.0


def read_games(paths: Iterable[str]) -> list[tuple[str, str, float]]:
    """(program1, program2, points of program1) for every game in the files.

    A last line cut short (its writer was killed mid-line) is skipped; any other line that
    is not JSON is an error naming the file and line.
    """
    games = []
    for path in paths:
        text = Path(path).read_text(encoding="utf-8")
        lines = text.split("\n")
        for number, line in enumerate(lines, start=1):
            if not line.strip():
                continue
            try:
                record = json.loads(line)
            except json.JSONDecodeError:
                if number == len(lines):  # no newline after it: a half-written last line
                    continue
                raise ValueError(f"{path}:{number}: not a JSON object") from None
            if not isinstance(record, dict) or record.get("type") != "game":
                continue
            winner = record.get("winner")
            points = 1.0 if winner == 1 else 0.0 if winner == 2 else 0.5
            if "program1" not in record or "program2" not in record:
                raise ValueError(f"{path}:{number}: a game record without the names of its programs "
                                 "(program1, program2)")
            games.append((str(record["program1"]), str(record["program2"]), points))
    return games


def fit_ratings(games: Sequence[tuple[str, str, float]], anchor: str | None = None,
                iterations: int = 100_000, tolerance: float = 1e-12) -> list[Rating]:
    """Maximum-likelihood ratings, best first; `anchor` rated 0, else the mean is 0."""
    names = sorted({name for game in games for name in game[:2]})
    if anchor is not None and anchor not in names:
        raise ValueError(f"no games of the anchor {anchor!r} (programs: {', '.join(names) or 'none'})")
    index = {name: i for i, name in enumerate(names)}
    size = len(names)
    played = [[0.0] * size for _ in range(size)]  # games between i and j
    scored = [[0.0] * size for _ in range(size)]  # points of i against j
    for first, second, score in games:
        i, j = index[first], index[second]
        played[i][j] += 1
        played[j][i] += 1
        scored[i][j] += score
        scored[j][i] += 1 - score
    # A program with no points, or all of them, against the others still in the fit has no
    # finite rating; leave it out and look again, until every one left has both.
    finite = list(range(size))
    while True:
        kept = [i for i in finite
                if 0 < sum(scored[i][j] for j in finite) < sum(played[i][j] for j in finite)]
        if kept == finite:
            break
        finite = kept
    if anchor is not None and index[anchor] not in finite:
        # Everything else would be "relative to" a rating of +inf or -inf: say so instead.
        i = index[anchor]
        outcome = "won" if sum(scored[i]) > sum(played[i]) / 2 else "lost"
        raise ValueError(f"the anchor {anchor!r} {outcome} every game that counts, so it has no finite "
                         "rating to anchor at; name another program, or leave out --anchor for the mean")
    own = {i: sum(scored[i][j] for j in finite) for i in finite}
    strength = {i: 1.0 for i in finite}
    for _ in range(iterations):
        change = 0.0
        for i in finite:
            denominator = sum(played[i][j] / (strength[i] + strength[j]) for j in finite if played[i][j])
            new = own[i] / denominator
            change = max(change, abs(math.log(new / strength[i])))
            strength[i] = new
        if change < tolerance:
            break
    logit = {i: math.log(strength[i]) for i in finite}
    anchor_index = index[anchor] if anchor is not None else None
    variance = _variances(finite, logit, played, anchor_index)
    if anchor_index is not None and anchor_index in logit:
        shift = logit[anchor_index]
    else:
        shift = sum(logit.values()) / len(logit) if logit else 0.0
    ratings = []
    for i, name in enumerate(names):
        points = sum(scored[i])
        games_played = int(sum(played[i]))
        if i in logit:
            elo = (logit[i] - shift) * _SCALE
            margin = Z95 * math.sqrt(variance[i]) * _SCALE if math.isfinite(variance[i]) else math.inf
        else:
            elo = math.inf if points > games_played / 2 else -math.inf
            margin = math.inf
        ratings.append(Rating(name, elo, margin, games_played, points))
    return sorted(ratings, key=lambda rating: (-rating.elo, rating.name))


def _variances(finite: list[int], logit: dict[int, float], played: list[list[float]],
               anchor: int | None) -> dict[int, float]:
    """Each fitted rating's variance (in logit units) relative to the anchor or the mean.

    The Fisher information of the logistic model is the weighted graph Laplacian H with
    weights n_ij p_ij (1 - p_ij). It is singular (ratings are only known up to a shift):
    with an anchor its row and column go (the others are then relative to it); for the
    mean, the pseudo-inverse is (H + J/n)^-1 - J/n with J all ones.
    """
    size = len(finite)
    if size == 0:
        return {}
    hessian = [[0.0] * size for _ in range(size)]
    for a, i in enumerate(finite):
        for b, j in enumerate(finite):
            if a != b and played[i][j]:
                p = 1.0 / (1.0 + math.exp(logit[j] - logit[i]))
                weight = played[i][j] * p * (1 - p)
                hessian[a][b] -= weight
                hessian[a][a] += weight
    if anchor is not None and anchor in finite:
        keep = [a for a, i in enumerate(finite) if i != anchor]
        reduced = [[hessian[a][b] for b in keep] for a in keep]
        inverse = _inverse(reduced)
        result = {anchor: 0.0}
        for row, a in enumerate(keep):
            result[finite[a]] = inverse[row][row] if inverse else math.inf
        return result
    shifted = [[hessian[a][b] + 1.0 / size for b in range(size)] for a in range(size)]
    inverse = _inverse(shifted)
    return {i: (inverse[a][a] - 1.0 / size) if inverse else math.inf for a, i in enumerate(finite)}


def _inverse(matrix: list[list[float]]) -> list[list[float]] | None:
    """Gauss-Jordan inverse with partial pivoting; None when (nearly) singular."""
    size = len(matrix)
    work = [row[:] + [1.0 if r == c else 0.0 for c in range(size)] for r, row in enumerate(matrix)]
    for column in range(size):
        pivot = max(range(column, size), key=lambda r: abs(work[r][column]))
        if abs(work[pivot][column]) < 1e-12:
            return None
        work[column], work[pivot] = work[pivot], work[column]
        scale = work[column][column]
        work[column] = [value / scale for value in work[column]]
        for r in range(size):
            if r != column and work[r][column]:
                factor = work[r][column]
                work[r] = [value - factor * lead for value, lead in zip(work[r], work[column])]
    return [row[size:] for row in work]


def unconnected_groups(games: Sequence[tuple[str, str, float]]) -> list[list[str]]:
    """The programs in groups that played among themselves only, when there are two or more
    (sorted, largest group first); [] when the games connect every program.

    Ratings of programs in different groups have no common scale: the likelihood says
    nothing of how one group stands against another.
    """
    leader: dict[str, str] = {}

    def find(name: str) -> str:
        while leader.setdefault(name, name) != name:
            leader[name] = leader[leader[name]]
            name = leader[name]
        return name

    for first, second, _ in games:
        leader[find(first)] = find(second)
    groups: dict[str, list[str]] = {}
    for name in sorted(leader):
        groups.setdefault(find(name), []).append(name)
    if len(groups) < 2:
        return []
    return sorted(groups.values(), key=lambda group: (-len(group), group))


def format_ratings(ratings: Sequence[Rating], anchor: str | None, games: int, files: int) -> str:
    """The rating list as a table, best first."""
    where = f"{anchor} = 0" if anchor else "mean = 0"
    lines = [f"Ratings of {len(ratings)} programs from {games} games in {files} file(s) "
             f"(maximum likelihood, logistic Elo; anchor {where}; margins 95%)"]
    rows = [["#", "Program", "Elo", "±", "Games", "Points", "Score"]]
    for rank, rating in enumerate(ratings, start=1):
        elo_text = format_elo(rating.elo)
        margin = "inf" if math.isinf(rating.margin) else f"{rating.margin:.1f}"
        if rating.name == anchor:
            margin = "-"
        rows.append([str(rank), rating.name, elo_text, margin, str(rating.games), f"{rating.points:g}",
                     f"{100 * rating.score:.1f}%"])
    widths = [max(len(row[c]) for row in rows) for c in range(len(rows[0]))]
    for row in rows:
        cells = [cell.ljust(widths[c]) if c < 2 else cell.rjust(widths[c]) for c, cell in enumerate(row)]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


def main(argv: Sequence[str] | None = None) -> int:
    """`veltrix-match ratings`: prints the rating list; returns the exit status."""
    parser = argparse.ArgumentParser(
        prog="veltrix-match ratings",
        description="One rating list from the games of veltrix-match JSONL files "
                    "(maximum-likelihood logistic Elo, as Ordo and BayesElo fit it).",
    )
    parser.add_argument("files", nargs="+", metavar="FILE.jsonl", help="files written by --out or --resume")
    parser.add_argument("--anchor", metavar="NAME", help="the program rated 0 (default: the mean is 0)")
    parser.add_argument("--json", action="store_true", help="print the list as JSON")
    args = parser.parse_args(argv)
    files = _distinct_files(args.files)
    try:
        games = read_games(files)
        if not games:
            parser.exit(1, f"veltrix-match ratings: no games in {', '.join(args.files)}\n")
        ratings = fit_ratings(games, args.anchor)
        groups = unconnected_groups(games)
    except (OSError, UnicodeDecodeError, KeyError) as error:
        parser.exit(1, f"veltrix-match ratings: cannot read the games: {error}\n")
    except ValueError as error:
        parser.exit(1, f"veltrix-match ratings: {error}\n")
    if groups:
        shown = "; ".join(", ".join(group) for group in groups)
        print(f"veltrix-match ratings: warning: the games fall into {len(groups)} groups that never played "
              f"each other ({shown}); ratings from different groups cannot be compared", file=sys.stderr)
    if args.json:
        rows = [{"program": r.name, "elo": _json_number(r.elo), "margin": _json_number(r.margin),
                 "games": r.games, "points": r.points} for r in ratings]
        text = json.dumps({"anchor": args.anchor, "games": len(games), "ratings": rows})
    else:
        text = format_ratings(ratings, args.anchor, len(games), len(files))
    from .log import Stdout  # loads the match driver: only once there is a list to print

    out = Stdout(sys.stdout)
    if not out.line(text):
        if out.failure is None:
            return 141
        print(f"veltrix-match ratings: cannot write to standard output: {out.failure}", file=sys.stderr)
        return 1
    return 0


def _distinct_files(paths: Sequence[str]) -> list[str]:
    """The files, each once: one named twice (`a.jsonl ./a.jsonl`, overlapping globs) would
    count its games twice and tighten every margin for nothing."""
    seen: dict[str, str] = {}
    for path in paths:
        key = os.path.realpath(path)
        if key in seen:
            print(f"veltrix-match ratings: warning: {path} is {seen[key]} again; its games are counted once",
                  file=sys.stderr)
            continue
        seen[key] = path
    return list(seen.values())


def _json_number(value: float) -> float | str:
    return value if math.isfinite(value) else ("inf" if value > 0 else "-inf")
