"""veltrix-match: play a match between Reversi player programs and report who is stronger.

Two programs play a head-to-head, three or more a round robin (every pair plays --games
games) or, with --gauntlet, the first against each of the others. Each opening is played
twice with the colours swapped. Exit status: 0 when the match ran (whatever the SPRT
decided), 1 when it stopped on a failure, 2 on a usage error, 130 when interrupted (Ctrl-C),
143 on SIGTERM and 129 on SIGHUP (stopped, reaped and reported as for Ctrl-C), 141 when
standard output was closed. `veltrix-match ratings FILE.jsonl ...` prints a rating list
(veltrix_match.ratings).
"""

from __future__ import annotations

import argparse
import importlib
import itertools
import json
import math
import os
import random
import shlex
import stat
import sys
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import IO, Any, TextIO

from . import interop
from .arguments import even_count, whole_number
from .names import distinct_name
from .chunks import Executor, LocalExecutor
from .diagnose import check_command_line, start_problem
from .errors import GameFailure, StartFailure
from .log import GameLog, Stdout
from .relay import debug_command
from .resume import SETTINGS_KEY, ResumeError, clean, fingerprint, openings_digest, read_resume, refusal, \
    settings_record
from .match import Match, Pairing, Program
from .openings import BUILTIN_PLIES, OpeningsError, builtin_openings, load_openings
from .results import GameResult
from .report import Progress, format_report, summary
from .ratings import main as ratings_main
from .signals import Stopped, exit_status, stop_on_signals
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
        names.append(distinct_name(name, names))
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


#: The most empty squares --adjudicate-empties takes: an exact solve from many more takes
#: seconds to minutes a game.
MAX_ADJUDICATE_EMPTIES = 24


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="veltrix-match",
        description=(__doc__ or "").splitlines()[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="example:\n  veltrix-match \"python player_a.py\" \"python player_b.py --depth 4\" --games 100\n"
               "rating list over the games of many matches:\n  veltrix-match ratings FILE.jsonl ... "
               "(see veltrix-match ratings --help)",
    )
    parser.add_argument("programs", nargs="+", metavar="COMMAND",
                        help="a player program's command line (quoted; two or more)")
    parser.add_argument("--games", type=even_count(), default=100, metavar="N",
                        help="games each pair of programs plays (even; default 100; the most games "
                             "with --sprt)")
    parser.add_argument("--concurrency", type=even_count(MAX_CONCURRENCY), default=2, metavar="C",
                        help=f"games played at once (even, at most {MAX_CONCURRENCY}; default 2)")
    parser.add_argument("--time-limit", type=_time_limit, default=5.0, metavar="SECONDS",
                        help="time per move (default 5)")
    parser.add_argument("--openings", metavar="FILE",
                        help="one transcript per line, or a GGF or WTHOR file of games; default: the built-in set "
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
    parser.add_argument("--seed", type=int, metavar="K",
                        help="shuffles the built-in openings, and a file's with --openings-order random "
                             "(default: random)")
    parser.add_argument("--chunk-games", type=even_count(), metavar="N",
                        help="games per unit of work (default: sized to take about five seconds each)")
    parser.add_argument("--cluster", choices=("local", "ray"), default="local",
                        help="where games run: this machine (default) or a Ray cluster")
    parser.add_argument("--address", metavar="ADDR", help="Ray cluster address (with --cluster ray)")
    parser.add_argument("--name", action="append", metavar="NAME",
                        help="a program's name in the report and records (repeatable: the names "
                             "of the programs in the order given)")
    parser.add_argument("--gauntlet", action="store_true",
                        help="the first program plays each of the others, not they among themselves")
    parser.add_argument("--openings-order", choices=("sequential", "random"), default="sequential",
                        help="play an openings file in file order (default) or shuffled by --seed")
    parser.add_argument("--rating-interval", type=whole_number(0), default=10, metavar="N",
                        help="when standard output is not a terminal, print the score every N "
                             "games of a pairing (default 10; 0 never)")
    parser.add_argument("--adjudicate-empties", type=whole_number(1, MAX_ADJUDICATE_EMPTIES), metavar="N",
                        help="once a game has N or fewer empty squares, solve it exactly and score "
                             f"it as perfect play ends it (1 to {MAX_ADJUDICATE_EMPTIES}; off by default)")
    parser.add_argument("--resume", metavar="FILE.jsonl",
                        help="continue the match whose games are in FILE (written by --out), "
                             "with the same programs and settings; its games are kept, the rest "
                             "played and added to it")
    parser.add_argument("--debug", metavar="FILE",
                        help="append every line sent to and received from each program, with "
                             "times, to FILE")
    interop.add_arguments(parser)
    return parser


def _executor(args: argparse.Namespace, progress: Progress) -> Executor:
    if args.cluster == "local":
        # Per-game progress costs a wake-up per game: only for a line someone watches.
        return LocalExecutor(progress.playing if progress.enabled else None)
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


def _game_line(match: Match, pairing: Pairing, result: GameResult, stamp: dict[str, Any]) -> str:
    record = {
        "type": "game",
        "program1": match.programs[pairing.first].name,
        "program2": match.programs[pairing.second].name,
        **result,
        **stamp,  # the match's seed and fingerprint, for --resume
    }
    return json.dumps(record)


def _names(parser: argparse.ArgumentParser, given: list[str] | None, defaults: list[str]) -> list[str]:
    """The programs' names: those given with --name, in order, then the default ones."""
    given = given or []
    if len(given) > len(defaults):
        parser.error(f"--name given {len(given)} times for {len(defaults)} programs")
    if any(not name.strip() for name in given):
        parser.error("a --name is empty")
    for name in given:
        # A name is one line of every log, table and record: a line break would split them.
        if any(character < " " or character == "\x7f" for character in name):
            parser.error(f"a --name holds a line break or another control character: {name!r}")
    names = [*given, *defaults[len(given):]]
    repeated = sorted({name for name in names if names.count(name) > 1})
    if repeated:
        parser.error(f"two programs are named {repeated[0]!r}; give each a different --name")
    return names


def _openings(parser: argparse.ArgumentParser, args: argparse.Namespace, seed: int) -> list[str]:
    if args.opening_plies is not None and not args.openings:
        parser.error(f"--opening-plies cuts the games or lines of an --openings file; the built-in "
                     f"openings are every position {BUILTIN_PLIES} plies from the start")
    plies = BUILTIN_PLIES if args.opening_plies is None else args.opening_plies
    try:
        openings = (load_openings(args.openings, plies, cut_lines=args.opening_plies is not None)
                    if args.openings else builtin_openings(seed))
    except OpeningsError as error:
        parser.exit(2, f"veltrix-match: {error}\n")
    if args.openings and args.openings_order == "random":
        random.Random(seed).shuffle(openings)
    pairs = args.games // 2
    if len(openings) < pairs:
        print(f"veltrix-match: warning: {len(openings)} openings for {pairs} game pairs per pairing; "
              f"openings repeat (each about {math.ceil(pairs / len(openings))} times)", file=sys.stderr)
    return openings


def main(argv: Sequence[str] | None = None) -> int:
    """Runs veltrix-match with `argv` (default: the command line); returns the exit status."""
    try:
        return _main(argv)
    except KeyboardInterrupt as interrupt:
        # Ctrl-C before the games start (reading openings or a match file, starting a
        # cluster) or while a rating list is fitted: the match's own handling is not in
        # place there. Whatever was opened has been closed on the way out.
        _say("interrupted")
        return exit_status(interrupt)


def _main(argv: Sequence[str] | None) -> int:
    words = list(sys.argv[1:] if argv is None else argv)
    if sys.stderr is None:
        # Started with standard error closed (`2>&-`): Python leaves no stream at all, and
        # every message and the progress line would fail on it. They go nowhere instead.
        sys.stderr = open(os.devnull, "w", encoding="utf-8")
    if words[:1] == ["ratings"]:
        return ratings_main(words[1:])
    parser = _parser()
    check_command_line(parser, words)
    args = parser.parse_args(words)
    try:
        commands = [interop.program_command(text, args) for text in args.programs]
    except ValueError as error:
        parser.error(f"cannot split a command line: {error}")
    if len(commands) < 2:
        parser.error("give at least two programs")
    if any(not command for command in commands):
        parser.error("a program's command line is empty")
    names = _names(parser, args.name, interop.nboard_names(args.programs, commands, program_names(commands)))
    sprt = None
    if args.sprt:
        if len(commands) != 2:
            parser.error("--sprt needs exactly two programs")
        try:
            sprt = Sprt(args.sprt[0], args.sprt[1], args.alpha, args.beta)
        except ValueError as error:
            parser.error(str(error))
    resumed = None
    restored: list[GameResult] = []  # the games counted from the file, as they were counted
    if args.resume:
        if args.out and os.path.abspath(args.out) != os.path.abspath(args.resume):
            parser.error("--resume FILE writes to FILE; leave out --out or give the same file")
        try:
            resumed = read_resume(args.resume)
        except ResumeError as error:
            parser.exit(2, f"veltrix-match: {error}\n")
        args.out = args.resume
    if args.ggf_out and args.out and _same_file(args.ggf_out, args.out):
        parser.error(f"--ggf-out and {'--resume' if args.resume else '--out'} name the same file; "
                     "give each its own")
    # The --debug relays append to their file while the others are written: one file for two
    # of them garbles both; one of them over the --openings file loses the user's openings.
    written = [(option, path) for option, path in (("--resume" if args.resume else "--out", args.out),
                                                   ("--ggf-out", args.ggf_out), ("--debug", args.debug)) if path]
    for (option, path), (other, other_path) in itertools.combinations(written, 2):
        if _same_file(path, other_path):
            parser.error(f"{option} and {other} name the same file; give each its own")
    for option, path in written:
        if args.openings and _same_file(path, args.openings):
            parser.error(f"{option} names the --openings file {args.openings}, which it would write over; "
                         "give it another file")
    seed = args.seed if args.seed is not None else None
    if seed is None and resumed is not None and resumed.seed is not None:
        seed = resumed.seed
    if seed is None:
        seed = random.randrange(2**32)
    openings = _openings(parser, args, seed)
    identity: dict[str, Any] = {
        "programs": names, "commands": commands, "games": args.games,
        "openings": openings_digest(openings), "time_limit": args.time_limit, "forfeit": args.forfeit,
        "gauntlet": args.gauntlet and len(names) > 2,
        "sprt": [sprt.elo0, sprt.elo1, sprt.alpha, sprt.beta] if sprt else None,
    }
    if args.adjudicate_empties is not None:  # absent when off: fingerprints of earlier files hold
        identity["adjudicate_empties"] = args.adjudicate_empties
    match_id = fingerprint(identity)
    if args.debug:
        # Each program's relay opens the file for itself: one it cannot open would stop every
        # program at its start, each with a traceback, and be blamed on the programs.
        try:
            os.close(os.open(args.debug, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644))
        except OSError as error:
            parser.exit(2, f"veltrix-match: cannot write {args.debug}: {error.strerror or error}\n")
    progress = Progress(_progress_stream())
    try:
        executor = _executor(args, progress)
    except _UsageError as error:
        parser.exit(2, f"veltrix-match: {error}\n")

    played = commands
    if args.debug:
        played = [debug_command(args.debug, name, command) for name, command in zip(names, commands)]
    match = Match(
        [Program(name, command) for name, command in zip(names, played)],
        args.games,
        openings,
        time_limit=args.time_limit,
        concurrency=args.concurrency,
        forfeit=args.forfeit,
        sprt=sprt,
        chunk_games=args.chunk_games,
        gauntlet=args.gauntlet,
        adjudicate_empties=args.adjudicate_empties,
    )
    if resumed is not None:
        pairings = {p.index: (names[p.first], names[p.second]) for p in match.pairings}
        compare = {**identity, "openings_file": args.openings, "openings_order": args.openings_order,
                   "adjudicate_empties": args.adjudicate_empties}
        refused = refusal(resumed, match_id, compare, seed, pairings,
                          {game: match.opening_of(game) for game in range(match.total_games)})
        if refused:
            executor.close()
            parser.exit(2, f"veltrix-match: {refused}\n")
        restored = match.restore(resumed.games)
    try:
        ggf = interop.GgfOut(args.ggf_out) if args.ggf_out else None
    except OSError as error:
        executor.close()
        parser.exit(2, f"veltrix-match: cannot write {args.ggf_out}: {error}\n")
    if ggf and resumed is not None:
        # Before the match file is touched: a GGF that cannot be written leaves it as it was.
        try:
            ggf.write_restored(match, restored)
        except OSError as error:
            ggf.close()
            executor.close()
            parser.exit(2, f"veltrix-match: {error.strerror}\n")
    try:
        if resumed is not None:
            clean(resumed)
        out: IO[str] | None = open(args.out, "a" if resumed else "w", encoding="utf-8") if args.out else None
    except (OSError, ResumeError) as error:
        executor.close()
        if ggf:
            ggf.close()
        text = str(error) if isinstance(error, ResumeError) else f"cannot write {args.out}: {error}"
        parser.exit(2, f"veltrix-match: {text}\n")
    source = args.openings or f"built-in, seed {seed}"
    if args.openings and args.openings_order == "random":
        source += f", shuffled by seed {seed}"
    kind = ("head-to-head" if len(names) == 2 else f"gauntlet of {names[0]} against {len(names) - 1}"
            if args.gauntlet else f"round robin of {len(names)}")
    stdout = Stdout(sys.stdout)
    stdout.line(f"veltrix-match: {kind}, {' vs '.join(names)}; {args.games} games per pair, "
                f"{len(openings)} openings ({source}), {args.time_limit:g} s per move, "
                f"concurrency {args.concurrency}")
    if resumed is not None:
        cut = " (a last line cut short was dropped)" if resumed.cut_line else ""
        stdout.line(f"veltrix-match: resuming {args.resume}: {match.restored} of {match.total_games} "
                    f"games counted already{cut}")
    settings: dict[str, Any] = {"seed": seed, "openings_file": args.openings, "match": match_id}
    if args.openings_order != "sequential":
        settings["openings_order"] = args.openings_order
    log = GameLog(stdout, match, args.rating_interval, enabled=not stdout.isatty())
    run = _Run(match, executor, out, args.out, stdout, log, dict(zip(names, commands)),
               {"seed": seed, "match": match_id}, ggf, progress)
    if resumed is None or not resumed.lines:
        # Spelled out once, on the file's first game line: a file whose runner was killed
        # before its summary is still refused naming the setting that differs.
        run.first_stamp = {SETTINGS_KEY: settings_record(identity, args.openings, args.openings_order)}
    try:
        with stop_on_signals() as games_over:
            return run.play(args.forfeit, settings, games_over)
    finally:
        run.close_out()
        executor.close()


def _same_file(first: str, second: str) -> bool:
    """Whether two paths name one regular file, or one file not made yet (two writers would
    garble it; a device such as /dev/stdout may be shared)."""
    try:
        return os.path.samefile(first, second) and stat.S_ISREG(os.stat(first).st_mode)
    except OSError:  # one of them does not exist yet
        return os.path.realpath(first) == os.path.realpath(second)


def _progress_stream() -> TextIO:
    """Where the progress line goes: standard error on a terminal; else standard output
    when that is the terminal (`2>engines.log` keeps the programs' chatter out of sight,
    not the match's progress, as no game lines are printed to a terminal)."""
    for stream in (sys.stderr, sys.stdout):
        try:
            if stream is not None and stream.isatty():
                return stream
        except (OSError, ValueError):
            pass
    return sys.stderr


def _stdout_failure(reason: str) -> str:
    return f"cannot write to standard output: {reason}"


class _StdoutClosed(Exception):
    """Standard output's reader has gone: the match ends quietly."""


class _OutputFailed(Exception):
    """A game could not be written to the --out file."""


class _Run:
    """One match being played: its outputs and how it ended."""

    def __init__(self, match: Match, executor: Executor, out: IO[str] | None, out_name: str | None,
                 stdout: Stdout, log: GameLog, commands: dict[str, list[str]], stamp: dict[str, Any],
                 ggf: interop.GgfOut | None, progress: Progress) -> None:
        self.match, self.executor, self.stdout, self.log = match, executor, stdout, log
        self.stamp, self.ggf, self.progress = stamp, ggf, progress
        self.out, self.out_name, self.commands = out, out_name, commands
        self.out_failed = False
        self.first_stamp: dict[str, Any] = {}  # added to the next game line only

    def on_game(self, pairing: Pairing, result: GameResult) -> None:
        if self.stdout.closed:
            raise _StdoutClosed
        if self.out:
            try:
                self.out.write(_game_line(self.match, pairing, result, {**self.stamp, **self.first_stamp}) + "\n")
                self.out.flush()
                self.first_stamp = {}
            except OSError as error:
                raise _OutputFailed(self._write_error(error)) from None
        if self.ggf:
            self.ggf.write(self.match, pairing, result)

    def _write_error(self, error: OSError) -> str:
        self.out_failed = True
        return f"cannot write {self.out_name}: {error.strerror or error}"

    def close_out(self) -> str | None:
        """Closes the --out file; the failure to report, if the last of it was not written."""
        ggf, self.ggf = self.ggf, None
        if ggf:
            ggf.close()
        out, self.out = self.out, None
        if out is None:
            return None
        try:
            out.close()
        except OSError as error:
            if not self.out_failed:
                return self._write_error(error)
        return None

    def play(self, forfeit: bool, settings: dict[str, Any], games_over: Callable[[], None]) -> int:
        """Runs the match, writes the summary, prints the report; returns the exit status.

        `games_over` is called once no game runs any more (see signals.stop_on_signals).
        """
        match, executor, progress = self.match, self.executor, self.progress

        def on_counted(pairing: Pairing, result: GameResult) -> None:
            self.log.game(pairing, result)
            progress.update(match)

        status, message, code = "complete", None, 0
        failure: ValueError | None = None
        started = time.monotonic()
        progress.update(match)  # the line is there from the start, the games counted so far
        try:
            match.run(executor, self.on_game, progress.update, on_counted)
            if match.decided:
                status = "sprt"
        except KeyboardInterrupt as interrupt:
            executor.cancel()
            status, message, code = "interrupted", "interrupted", exit_status(interrupt)
            if isinstance(interrupt, Stopped):
                message = f"stopped by {interrupt}"
        except _StdoutClosed:
            executor.cancel()
            status, message, code = "interrupted", "standard output closed", 141
            if self.stdout.failure:
                status, message, code = "error", _stdout_failure(self.stdout.failure), 1
        except _OutputFailed as error:
            executor.cancel()
            status, message, code = "error", str(error), 1
        except (ValueError, OverflowError, OSError) as error:
            status, message, code = "error", str(error), 1
            failure = error if isinstance(error, ValueError) else None
        games_over()
        elapsed = time.monotonic() - started
        progress.finish()
        # The summary goes to the file before anything is printed: a reader of standard
        # output that has gone away must not cost the file its last line.
        cluster: dict[str, Any] = {}
        description = executor.describe()
        if description is not None:
            cluster = {"retried_chunks": executor.retried_chunks}
        if self.out and not self.out_failed:
            extra = {**settings, **cluster, "status": status, "error": message, "seconds": round(elapsed, 3),
                     # The programs' own command lines, not the --debug relays that ran them.
                     "commands": list(self.commands.values())}
            try:
                self.out.write(json.dumps(summary(match, **extra)) + "\n")
                self.out.flush()
            except OSError as error:
                self._write_error(error)
                status, message, code = "error", f"cannot write {self.out_name}: {error.strerror or error}", 1
        closing = self.close_out()
        if closing:
            status, message, code = "error", closing, 1
        if status == "error":
            hint = " (--forfeit scores a failing program's game as a loss)" if isinstance(failure, GameFailure) and not forfeit else ""
            _say(f"match stopped: {message}{hint}")
            if isinstance(failure, StartFailure):
                try:
                    self._explain_start(failure)
                except KeyboardInterrupt:  # Ctrl-C while a silent program gets its deadline
                    _say("interrupted while trying each program on its own; why it failed is not known")
            elif isinstance(failure, GameFailure):
                detail = failure_detail(self.match, failure)
                if detail:
                    _say(detail)
        elif status == "interrupted" and code != 141:
            _say(f"{'interrupted' if message == 'interrupted' else message}; the games finished so far:")
        if description is not None:
            # The cluster path: how the games were spread, and the tasks run again after a
            # worker or node died (said before the report, whose last line is the Elo).
            self.stdout.line(description)
        self.stdout.line(format_report(match, elapsed))
        if self.stdout.closed and code == 0:
            code = 141
            if self.stdout.failure:
                _say(_stdout_failure(self.stdout.failure))
                code = 1
        return code

    def _explain_start(self, failure: StartFailure) -> None:
        """Says which program cannot start, and why: as tried where the failure happened (a
        cluster node's findings come with the error), else by trying each program here."""
        node = getattr(failure, "node", None)
        where = f" on node {node}" if node else ""
        tried = self._tried_on_node(failure)
        if tried is None:
            tried = [(name, start_problem(command)) for name, command in self.commands.items()]
        told = False
        for name, problem in tried:
            if problem:
                _say(f"program {name!r} ({shlex.join(self.commands[name])}){where}: {problem}")
                told = True
        if told:
            return
        if len(tried) == len(self.commands):
            _say(f"every program started and answered ping when tried alone{where}; "
                 "one may fail only when started several times at once")
        else:
            names = " and ".join(repr(name) for name, _ in tried)
            _say(f"programs {names} started and answered ping when tried alone{where}; "
                 "one may fail only when started several times at once")

    def _tried_on_node(self, failure: StartFailure) -> list[tuple[str, str | None]] | None:
        """The programs of the failing pairing with what stopped each on the node that tried
        them (the `problems` a cluster task attaches), or None when the error has none."""
        problems = getattr(failure, "problems", None)
        pairing = getattr(failure, "pairing", None)
        if not isinstance(problems, list) or len(problems) != 2 or not isinstance(pairing, int):
            return None
        if not 0 <= pairing < len(self.match.pairings):
            return None
        chosen = self.match.pairings[pairing]
        names = [self.match.programs[chosen.first].name, self.match.programs[chosen.second].name]
        if any(name not in self.commands for name in names):
            return None
        return [(name, problem) for name, (_command, problem) in zip(names, problems)]


def failure_detail(match: Match, failure: GameFailure) -> str | None:
    """Which program failed in which game, and what it answered; None when the arena did not
    say which game."""
    game = getattr(failure, "game", None)
    if not isinstance(game, int) or not 0 <= game < match.total_games:
        return None
    pairing = match.pairings[game // match.games]
    kind = str(failure).removeprefix("Game error: ")
    side = "Black" if kind.startswith("Black") else "White" if kind.startswith("White") else None
    opening = getattr(failure, "opening", None) or match.opening_of(game) or "the start"
    node = getattr(failure, "node", None)  # where a cluster played the game
    where = f"game {game + 1} (opening {opening})" + (f" on node {node}" if node else "")
    if side is None:
        return f"{where}: {kind}"
    first_is_black = (game - pairing.first_game) % 2 == 0
    program = pairing.first if (side == "Black") == first_is_black else pairing.second
    name = match.programs[program].name
    if kind.endswith("InvalidMove"):
        reply = getattr(failure, "reply", None)
        what = ("answered an illegal or unreadable move" if reply is None
                else "answered an empty line or closed its output" if reply == ""
                else f"answered {reply!r}, not a legal move")
    elif kind.endswith("Timeout"):
        what = f"did not answer within {match.time_limit:g} s"
    else:
        what = "could not be sent the position (it had exited or closed its input)"
    return f"{where}: program {name!r} ({side}) {what}"


def _say(text: str) -> None:
    """One line on standard error; a closed standard error is no reason to fail."""
    try:
        print(f"veltrix-match: {text}", file=sys.stderr, flush=True)
    except OSError:
        pass
