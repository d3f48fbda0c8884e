"""The --debug protocol log: a line relay between the arena and one player program.

With `veltrix-match --debug FILE` each program is started through this relay:

    python .../veltrix_match/relay.py FILE NAME -- COMMAND ... COLOUR

It starts COMMAND (with the colour argument the arena appended) with its standard error
inherited, passes every line both ways unchanged, and appends each to FILE with the time, the
program's name, its colour and pid, and the direction ("<" from the program, ">" to it):

    2026-12-09T15:20:01.123456Z random_player WHITE 4711 > ping
    2026-12-09T15:20:01.171002Z random_player WHITE 4711 < pong

One write per line to a file opened for appending, so the relays of all the programs share
the file without tearing each other's lines. The relay runs in the program's process group,
so the arena ends both at once; when the program exits the relay exits with its status.
"""

from __future__ import annotations

import os
import subprocess
import sys
import threading
from collections.abc import Sequence
from datetime import UTC, datetime
from typing import IO

__all__ = ["debug_command", "main", "relayed_program"]


def debug_command(path: str, name: str, command: Sequence[str]) -> list[str]:
    """`command` run through the relay, its lines logged to `path` under `name`."""
    # Run by its path, not with -m: the relay needs only the standard library, and importing
    # the package would load veltrix into every relay for nothing.
    return [sys.executable, os.path.abspath(__file__), os.path.abspath(path), name, "--", *command]


def relayed_program(argv: Sequence[str]) -> list[str] | None:
    """The program's own command line when `argv` runs it through the relay; else None."""
    if len(argv) > 5 and argv[1] == os.path.abspath(__file__) and argv[4] == "--":
        return list(argv[5:])
    return None


class _Log:
    def __init__(self, path: str, tag: str) -> None:
        self._path = path
        self._fd: int | None = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        self._tag = tag

    def line(self, direction: str, text: bytes) -> None:
        """Logs one line. A log that cannot be written (a full disk) must not stop the
        program's lines: it is said once on standard error, and logging stops."""
        if self._fd is None:
            return
        stamp = datetime.now(UTC).strftime("%Y-%m-%dT%H:%M:%S.%fZ")
        shown = text.rstrip(b"\r\n").decode("utf-8", "backslashreplace")
        try:
            os.write(self._fd, f"{stamp} {self._tag} {direction} {shown}\n".encode())
        except OSError as error:
            self._fd = None
            try:
                sys.stderr.write(f"veltrix-match --debug: cannot write {self._path}: {error.strerror or error}; "
                                 f"no more lines of {self._tag} are logged\n")
                sys.stderr.flush()
            except (OSError, ValueError):
                pass

    def set_tag(self, tag: str) -> None:
        self._tag = tag


def _forward(source: IO[bytes], sink: IO[bytes], log: _Log, direction: str) -> None:
    """Copies lines until the source ends or the sink is gone; then closes the sink."""
    try:
        for line in iter(source.readline, b""):
            log.line(direction, line)
            sink.write(line)
            sink.flush()
    except OSError:
        pass
    finally:
        try:
            sink.close()
        except OSError:
            pass


def main(argv: Sequence[str] | None = None) -> int:
    words = list(sys.argv[1:] if argv is None else argv)
    if len(words) < 4 or words[2] != "--":
        print("usage: relay.py FILE NAME -- COMMAND ...", file=sys.stderr)
        return 2
    path, name, command = words[0], words[1], words[3:]
    colour = command[-1] if command[-1] in ("BLACK", "WHITE") else "-"
    log = _Log(path, f"{name} {colour} -")
    try:
        program = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    except OSError as error:
        log.line("!", f"cannot start {command[0]}: {error.strerror or error}".encode())
        return 127
    log.set_tag(f"{name} {colour} {program.pid}")
    assert program.stdin and program.stdout
    to_program = threading.Thread(
        target=_forward, args=(sys.stdin.buffer, program.stdin, log, ">"), daemon=True
    )
    to_program.start()
    _forward(program.stdout, sys.stdout.buffer, log, "<")
    status = program.wait()
    log.line("!", f"exited with status {status}".encode())
    return status if status >= 0 else 128 - status


if __name__ == "__main__":
    # os._exit: the thread copying standard input may still be blocked reading it, and an
    # ordinary exit would wait on that read's lock at shutdown.
    code = main()
    try:
        sys.stdout.flush()
    except OSError:
        pass
    os._exit(code)
