"""One NBoard engine process: started in its own process group, spoken to in lines, every
wait bounded by a deadline, killed and reaped on every path.

The protocol (NTest's NBoard protocol document; Edax's nboard mode follows it): the GUI
sends "nboard 2", "set depth N", "set game <GGF>", "go", "ping N"; the engine answers
"=== MOVE[/eval/time]" (or "=== MOVE eval time"), "pong N", and may send "set myname NAME",
"status ...", "search ...", "nodestats ..." at any time, which are noted or ignored.
"""

from __future__ import annotations

import math
import os
import select
import signal
import subprocess
import sys
import time
from collections.abc import Callable, Sequence

import veltrix

from ..records import board_tag

__all__ = ["EngineError", "NBoardEngine", "PROTOCOL_VERSION", "parse_move"]

#: The protocol version announced with "nboard": the current one of the published document.
PROTOCOL_VERSION = 2
#: The longest line taken from an engine: a flood without line ends is a fault, not a line.
MAX_LINE = 1 << 20


class EngineError(Exception):
    """The engine failed: did not start, exited, stalled or answered nonsense."""


def _death_signal() -> Callable[[], None] | None:
    """A pre-exec hook that has Linux kill the engine when the adapter dies (even by SIGKILL,
    as an arena ends its players): the engine lives in its own process group, out of reach
    of a kill aimed at the adapter's group."""
    if not sys.platform.startswith("linux"):
        return None
    import ctypes

    try:
        prctl = ctypes.CDLL(None, use_errno=True).prctl
    except (OSError, AttributeError):
        return None
    parent = os.getpid()

    def hook() -> None:
        prctl(1, signal.SIGKILL, 0, 0, 0)  # PR_SET_PDEATHSIG
        if os.getppid() != parent:  # the adapter died before the hook ran
            os._exit(1)

    return hook


def parse_move(line: str) -> str:
    """The square (lower case) or "pa" of an "=== MOVE..." line; ValueError if malformed."""
    words = line[3:].split()
    square = words[0].split("/", 1)[0].lower() if words else ""
    if square in ("pa", "pass"):
        return "pa"
    if len(square) != 2 or square[0] not in "abcdefgh" or square[1] not in "12345678":
        raise ValueError(f"unparsable move: {line!r}")
    return square


class NBoardEngine:
    """An NBoard engine process. Use as a context manager, or call close()."""

    def __init__(self, argv: Sequence[str], *, cwd: str | None = None, label: str | None = None) -> None:
        self.label = label or (argv[0] if argv else "engine")
        self.name: str | None = None  # from "set myname"
        self._buffer = b""
        self._ping = 0
        try:
            self._process = subprocess.Popen(
                list(argv), stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=cwd,
                start_new_session=True, preexec_fn=_death_signal(), bufsize=0)
        except (OSError, ValueError, subprocess.SubprocessError) as error:
            raise EngineError(f"cannot start engine {self.label}: {error}") from None
        assert self._process.stdin is not None and self._process.stdout is not None
        self._stdin = self._process.stdin
        self._stdout = self._process.stdout.fileno()
        self._poll = select.poll()
        self._poll.register(self._stdout, select.POLLIN)

    def __enter__(self) -> NBoardEngine:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def pid(self) -> int:
        return self._process.pid

    def send(self, text: str) -> None:
        """Writes one or more lines (each ending in "\\n") in one write."""
        data = memoryview(text.encode())
        try:
            while data:
                written = self._stdin.write(data)
                data = data[written or 0:]
        except OSError:
            raise EngineError(f"engine {self.label} closed its input ({self._exit_status()})") from None

    def _exit_status(self) -> str:
        try:
            code = self._process.wait(timeout=0.5)
        except subprocess.TimeoutExpired:
            return "still running"
        return f"exit status {code}" if code >= 0 else f"killed by signal {-code}"

    def readline(self, deadline: float, waiting_for: str) -> str:
        """The next line from the engine, at the latest at `deadline` (time.monotonic())."""
        while True:
            end = self._buffer.find(b"\n")
            if end >= 0:
                line, self._buffer = self._buffer[:end], self._buffer[end + 1:]
                return line.decode("utf-8", "replace").strip()
            if len(self._buffer) > MAX_LINE:
                raise EngineError(f"engine {self.label} sent more than {MAX_LINE} bytes without a line end")
            left = deadline - time.monotonic()
            if left <= 0:
                raise EngineError(f"engine {self.label} did not answer {waiting_for} in time")
            if not self._poll.poll(max(1, math.ceil(left * 1000))):
                continue
            chunk = os.read(self._stdout, 65536)
            if not chunk:
                raise EngineError(f"engine {self.label} exited while the adapter waited for "
                                  f"{waiting_for} ({self._exit_status()})")
            self._buffer += chunk

    def _read_reply(self, deadline: float, waiting_for: str) -> str:
        """The next line that is not a notice (set myname, status, search, nodestats, ...)."""
        while True:
            line = self.readline(deadline, waiting_for)
            if line.startswith("set myname"):
                self.name = line[len("set myname"):].strip() or self.name
            elif line.startswith(("===", "pong")):
                return line
            # Anything else ("status", "search", "nodestats", "learn", hints, blank lines) is
            # information for a GUI: read and dropped.

    def sync(self, timeout: float) -> None:
        """ping/pong: returns once the engine has answered every command sent so far."""
        self._ping += 1
        self.send(f"ping {self._ping}\n")
        deadline = time.monotonic() + timeout
        while True:
            line = self._read_reply(deadline, f"ping {self._ping}")
            if line.startswith("==="):
                raise EngineError(f"engine {self.label} sent a move nobody asked for: {line!r}")
            if line.split()[1:2] == [str(self._ping)]:
                return

    def start(self, *, depth: int | None, timeout: float) -> None:
        """The opening handshake: protocol version, depth, then a ping to wait for."""
        self.send(f"nboard {PROTOCOL_VERSION}\n" + (f"set depth {depth}\n" if depth is not None else ""))
        self.sync(timeout)

    def move(self, board: veltrix.Board, timeout: float) -> int:
        """The engine's move in `board` (side to move has a legal move) as a square index."""
        self.send(f"set game (;GM[Othello]PC[veltrix]TY[8]BO[{board_tag(board)}];)\ngo\n")
        line = self._read_reply(time.monotonic() + timeout, "go")
        if not line.startswith("==="):
            raise EngineError(f"engine {self.label} answered go with {line!r}")
        try:
            square = parse_move(line)
        except ValueError as error:
            raise EngineError(f"engine {self.label} sent an {error}") from None
        if square == "pa":
            raise EngineError(f"engine {self.label} passed with legal moves on the board: {line!r}")
        index = veltrix.Board.parse_square(square)
        if not board.is_legal_move(index):
            raise EngineError(f"engine {self.label} played the illegal move {square}: {line!r}")
        return index

    def close(self) -> None:
        """Ends the engine's input, gives it a moment, then kills its process group and reaps it."""
        try:
            self._stdin.close()
        except OSError:
            pass
        pid = self._process.pid
        deadline = time.monotonic() + 0.2
        while time.monotonic() < deadline:
            # Looked at without reaping: the group keeps its id while the leader is unreaped.
            try:
                if os.waitid(os.P_PID, pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None:
                    break
            except ChildProcessError:  # reaped already
                break
            time.sleep(0.005)
        try:
            os.killpg(pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        try:
            self._process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass  # unkillable (in the kernel); nothing more a user process can do
        self._process.stdout.close()  # type: ignore[union-attr]
