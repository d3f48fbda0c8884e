"""veltrix-nboard: an NBoard engine as a veltrix player program.

Speaks veltrix's line protocol on standard input and output ("ping"/"pong", a 64-character
board line in, a square index out; the colour the arena appends says which side this process
plays) and the NBoard protocol to the engine it runs. Every fault of the engine (it does not
start, exits, stalls, passes, answers an illegal or unparsable move) ends the adapter with
exit status 1 and one line on standard error, so the arena records it against this player.
The engine never outlives the adapter: it is ended when standard input closes, on SIGTERM,
SIGHUP or SIGINT, and (on Linux) by the kernel should the adapter itself be killed.

With --print-name the adapter starts the engine, prints the name it gives ("set myname"),
or --name, or the engine's program name, and exits.
"""

from __future__ import annotations

import argparse
import os
import shlex
import signal
import sys
from collections.abc import Sequence
from pathlib import Path
from types import FrameType

import veltrix

from .engine import EngineError, NBoardEngine

__all__ = ["main"]

#: Time an engine gets beyond --move-time before the adapter gives up on it.
MARGIN = 1.0
#: Time to start and answer the first ping unless --start-time says otherwise (engines load
#: their evaluation data first).
START_TIME = 30.0


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="veltrix-nboard", description=(__doc__ or "").splitlines()[0])
    parser.add_argument("engine", metavar="ENGINE", help="the engine's command line (one quoted argument)")
    parser.add_argument("colour", nargs="?", choices=("BLACK", "WHITE"),
                        help="the side played (appended by the arenas)")
    parser.add_argument("--depth", type=int, metavar="N", help="search depth sent as 'set depth N'")
    parser.add_argument("--move-time", type=float, default=5.0, metavar="S",
                        help=f"seconds an engine has for a move (plus {MARGIN:g} s) before it is "
                             "given up on (default 5)")
    parser.add_argument("--start-time", type=float, default=START_TIME, metavar="S",
                        help=f"seconds the engine has to start and answer its first ping (default {START_TIME:g})")
    parser.add_argument("--name", help="the name to report (default: the engine's own)")
    parser.add_argument("--dir", metavar="DIR", help="the engine's working directory")
    parser.add_argument("--print-name", action="store_true", help="print the engine's name and exit")
    return parser


class _Stop(BaseException):
    """Raised by the signal handler, so the engine is ended on the way out."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


_SIGNALS = (signal.SIGTERM, signal.SIGHUP, signal.SIGINT)


def _on_signal(signum: int, frame: FrameType | None) -> None:
    # Once: a second signal must not cut short the teardown the first one started.
    for other in _SIGNALS:
        signal.signal(other, signal.SIG_IGN)
    raise _Stop(signum)


def _serve(engine: NBoardEngine, turn: veltrix.Turn, move_time: float) -> None:
    """The player loop: until standard input ends."""
    stdin, stdout = sys.stdin.buffer, sys.stdout.buffer
    board = veltrix.Board()
    while line := stdin.readline():
        text = line.strip().decode("ascii", "replace")
        if text == "ping":
            engine.sync(move_time + MARGIN)
            reply = b"pong\n"
        elif len(text) == 64:
            try:
                board.set_board_str(text, turn)
            except ValueError:
                raise EngineError(f"the arena sent a line that is not a board: {text!r}") from None
            reply = b"%d\n" % engine.move(board, move_time + MARGIN)
        elif not text:
            continue
        else:
            raise EngineError(f"the arena sent a line the adapter does not know: {text[:80]!r}")
        stdout.write(reply)
        stdout.flush()


def _label(command: Sequence[str]) -> str:
    """The engine's program name for messages: the script an interpreter runs, else the program."""
    words = list(command)
    if len(words) > 1 and Path(words[0]).name.startswith("python"):
        words = words[1:]
        while len(words) > 1 and words[0].startswith("-"):
            words = words[1:]
    return Path(words[0]).name


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the adapter; returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        command = shlex.split(args.engine)
    except ValueError as error:
        parser.error(f"cannot split the engine's command line: {error}")
    if not command:
        parser.error("the engine's command line is empty")
    if not args.print_name and args.colour is None:
        parser.error("the colour (BLACK or WHITE) is missing: the arenas append it")
    if args.depth is not None and args.depth < 1:
        parser.error(f"--depth must be at least 1 (got {args.depth})")
    for option, value in (("--move-time", args.move_time), ("--start-time", args.start_time)):
        if not 0 < value < 1e9:
            parser.error(f"{option} must be a positive number of seconds (got {value})")
    if args.dir is not None and not os.path.isdir(args.dir):
        parser.error(f"--dir {args.dir} is not a directory")
    label = _label(command)
    previous = {signum: signal.signal(signum, _on_signal) for signum in _SIGNALS}
    try:
        with NBoardEngine(command, cwd=args.dir, label=label) as engine:
            engine.start(depth=args.depth, timeout=args.start_time)
            if args.print_name:
                print(args.name or engine.name or label, flush=True)
                return 0
            turn = veltrix.Turn.BLACK if args.colour == "BLACK" else veltrix.Turn.WHITE
            _serve(engine, turn, args.move_time)
        return 0
    except EngineError as error:
        print(f"veltrix-nboard: {error}", file=sys.stderr, flush=True)
        return 1
    except BrokenPipeError:
        # The arena went away: nothing is left to answer, nor to flush at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except _Stop as stop:
        return 128 + stop.signum
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
