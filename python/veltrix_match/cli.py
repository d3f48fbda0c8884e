"""veltrix-match: play a match between Reversi player programs and report who is stronger.

Two programs play a head-to-head, three or more a round robin (every pair plays --games
games). Each opening is played twice with the colours swapped. Exit status: 0 when the match
ran (whatever the SPRT decided), 1 when it stopped on a failure, 2 on a usage error, 130 when
interrupted.
"""

from __future__ import annotations

import argparse
import importlib
import json
import math
import random
import shlex
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import IO, Any

from .chunks import Executor, LocalExecutor
from .errors import GameFailure
from .match import Match, Pairing, Program
from .openings import BUILTIN_PLIES, OpeningsError, builtin_openings, read_openings
from .results import GameResult
from .report import Progress, format_report, summary
from .sprt import Sprt

__all__ = ["main", "program_names"]


def program_names(commands: Sequence[Sequence[str]]) -> list[str]:
    """Short distinct names: the program file (after an interpreter) and its arguments."""
    names: list[str] = []
    for argv in commands:
        words = list(argv)
        if len(words) > 1 and Path(words[0]).name.startswith("python"):
            words = words[1:]
            while len(words) > 1 and words[0].startswith("-"):
                words = words[1:]
        words[0] = Path(words[0]).name.removesuffix(".py")
        name = " ".join(words)
        candidate, copy = name, 1
        while candidate in names:
            copy += 1
            candidate = f"{name} ({copy})"
        names.append(candidate)
    return names


#: The longest --time-limit: what Arena.play takes (about 30 years a move).
MAX_TIME_LIMIT = 1e9
#: The most games at once. Each runs two programs on one machine (a cluster task too), so
#: far more than any machine's cores would only meet the process and file limits mid-match.
MAX_CONCURRENCY = 1024


def _time_limit(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number of seconds (got {text})")
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be positive (got {text})")
    if value > MAX_TIME_LIMIT:
        raise argparse.ArgumentTypeError(f"must be at most {MAX_TIME_LIMIT:g} seconds (got {text})")
    return value


def _even_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value <= 0 or value % 2:
        raise argparse.ArgumentTypeError(f"must be even and positive (got {text})")
    return value


def _concurrency(text: str) -> int:
    value = _even_count(text)
    if value > MAX_CONCURRENCY:
        raise argparse.ArgumentTypeError(f"must be at most {MAX_CONCURRENCY} (got {text})")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="veltrix-match",
        description=(__doc__ or "").splitlines()[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="example:\n  veltrix-match \"python player_a.py\" \"python player_b.py --depth 4\" --games 100",
    )
    parser.add_argument("programs", nargs="+", metavar="COMMAND",
                        help="a player program's command line (quoted; two or more)")
    parser.add_argument("--games", type=_even_count, default=100, metavar="N",
                        help="games each pair of programs plays (even; default 100; the most games "
                             "with --sprt)")
    parser.add_argument("--concurrency", type=_concurrency, default=2, metavar="C",
                        help=f"games played at once (even, at most {MAX_CONCURRENCY}; default 2)")
    parser.add_argument("--time-limit", type=_time_limit, default=5.0, metavar="SECONDS",
                        help="time per move (default 5)")
    parser.add_argument("--openings", metavar="FILE",
                        help="one transcript per line; default: the built-in set "
                             f"({BUILTIN_PLIES}-ply positions, shuffled by --seed)")
    parser.add_argument("--out", metavar="FILE.jsonl",
                        help="write one JSON object per game and a final summary object")
    parser.add_argument("--forfeit", action="store_true",
                        help="a program that fails (time-out, crash, illegal move) loses the game "
                             "and is restarted; without it a failure stops the match")
    parser.add_argument("--sprt", nargs=2, type=float, metavar=("ELO0", "ELO1"),
                        help="stop as soon as the SPRT accepts Elo <= ELO0 or Elo >= ELO1 "
                             "(two programs only)")
    parser.add_argument("--alpha", type=float, default=0.05, metavar="A",
                        help="SPRT false positive rate (default 0.05)")
    parser.add_argument("--beta", type=float, default=0.05, metavar="B",
                        help="SPRT false negative rate (default 0.05)")
    parser.add_argument("--seed", type=int, metavar="K", help="shuffles the built-in openings (default: random)")
    parser.add_argument("--chunk-games", type=_even_count, metavar="N",
                        help="games per unit of work (default: sized to take about five seconds each)")
    parser.add_argument("--cluster", choices=("local", "ray"), default="local",
                        help="where games run: this machine (default) or a Ray cluster")
    parser.add_argument("--address", metavar="ADDR", help="Ray cluster address (with --cluster ray)")
    return parser


def _executor(args: argparse.Namespace) -> Executor:
    if args.cluster == "local":
        return LocalExecutor()
    try:
        cluster = importlib.import_module("veltrix_match.cluster")
    except ImportError as error:
        raise _UsageError(f"--cluster ray is not available: {error}") from None
    try:
        executor: Executor = cluster.RayExecutor(address=args.address)
    except ImportError as error:  # Ray is there, but importing it failed
        raise _UsageError(f"--cluster ray is not available: {error}") from None
    except cluster.ClusterError as error:
        raise _UsageError(str(error)) from None
    return executor


class _UsageError(Exception):
    pass


def _game_line(match: Match, pairing: Pairing, result: GameResult) -> str:
    record = {
        "type": "game",
        "program1": match.programs[pairing.first].name,
        "program2": match.programs[pairing.second].name,
        **result,
    }
    return json.dumps(record)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs veltrix-match with `argv` (default: the command line); returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        commands = [shlex.split(text) for text in args.programs]
    except ValueError as error:
        parser.error(f"cannot split a command line: {error}")
    if len(commands) < 2:
        parser.error("give at least two programs")
    if any(not command for command in commands):
        parser.error("a program's command line is empty")
    sprt = None
    if args.sprt:
        if len(commands) != 2:
            parser.error("--sprt needs exactly two programs")
        try:
            sprt = Sprt(args.sprt[0], args.sprt[1], args.alpha, args.beta)
        except ValueError as error:
            parser.error(str(error))
    seed = args.seed if args.seed is not None else random.randrange(2**32)
    try:
        openings = read_openings(args.openings) if args.openings else builtin_openings(seed)
    except OpeningsError as error:
        parser.exit(2, f"veltrix-match: {error}\n")
    try:
        out: IO[str] | None = open(args.out, "w", encoding="utf-8") if args.out else None
    except OSError as error:
        parser.exit(2, f"veltrix-match: cannot write {args.out}: {error}\n")
    try:
        executor = _executor(args)
    except _UsageError as error:
        if out:
            out.close()
        parser.exit(2, f"veltrix-match: {error}\n")

    names = program_names(commands)
    match = Match(
        [Program(name, command) for name, command in zip(names, commands)],
        args.games,
        openings,
        time_limit=args.time_limit,
        concurrency=args.concurrency,
        forfeit=args.forfeit,
        sprt=sprt,
        chunk_games=args.chunk_games,
    )
    source = args.openings or f"built-in, seed {seed}"
    kind = "head-to-head" if len(names) == 2 else f"round robin of {len(names)}"
    print(f"veltrix-match: {kind}, {' vs '.join(names)}; {args.games} games per pair, "
          f"{len(openings)} openings ({source}), {args.time_limit:g} s per move, "
          f"concurrency {args.concurrency}", flush=True)
    try:
        return _play(match, executor, out, args.forfeit, {"seed": seed, "openings_file": args.openings})
    finally:
        if out:
            out.close()
        executor.close()


def _play(match: Match, executor: Executor, out: IO[str] | None, forfeit: bool,
          settings: dict[str, Any]) -> int:
    """Runs the match, prints the report, writes the summary; returns the exit status."""

    def on_game(pairing: Pairing, result: GameResult) -> None:
        if out:
            out.write(_game_line(match, pairing, result) + "\n")
            out.flush()

    progress = Progress(sys.stderr)
    status, message, code = "complete", None, 0
    game_error = False
    started = time.monotonic()
    try:
        match.run(executor, on_game, progress.update)
        if match.decided:
            status = "sprt"
    except KeyboardInterrupt:
        executor.cancel()
        status, message, code = "interrupted", "interrupted", 130
    except (ValueError, OverflowError, OSError) as error:
        status, message, code = "error", str(error), 1
        game_error = isinstance(error, GameFailure)
    elapsed = time.monotonic() - started
    progress.finish()
    if status == "error":
        hint = " (--forfeit scores a failing program's game as a loss)" if game_error and not forfeit else ""
        print(f"veltrix-match: match stopped: {message}{hint}", file=sys.stderr)
    elif status == "interrupted":
        print("veltrix-match: interrupted; the games finished so far:", file=sys.stderr)
    cluster: dict[str, Any] = {}
    description = executor.describe()
    if description is not None:
        # The cluster path: how the games were spread, and the tasks run again after a
        # worker or node died (said before the report, whose last line is the Elo).
        print(description, flush=True)
        cluster = {"retried_chunks": executor.retried_chunks}
    print(format_report(match, elapsed), flush=True)
    if out:
        extra = {**settings, **cluster, "status": status, "error": message, "seconds": round(elapsed, 3)}
        out.write(json.dumps(summary(match, **extra)) + "\n")
    return code
