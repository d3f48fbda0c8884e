"""Why a program cannot take part, said in words: the command line and the start-up.

The arena reports a program that does not start as "Engine start error" and nothing more (its
message is fixed). When that happens the command starts each program once more on its own,
the way the arena does (colour argument, "ping"), watching what goes wrong: the program is
not found, may not be run, exits before answering (with the last line it wrote to standard
error), answers something other than "pong", or stays silent. Every wait has a deadline and
the program's process group is killed and reaped on every path.

`unquoted_programs` catches the commonest slip before anything runs: a program's words given
unquoted (`veltrix-match python3 a.py python3 b.py`), which would otherwise become a round
robin of "python3", "a.py", ...; `check_command_line` catches it wherever options stand
among the words.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import selectors
import shlex
import shutil
import signal
import subprocess
import time
from collections.abc import Sequence
from pathlib import Path

__all__ = ["START_DEADLINE", "check_command_line", "start_problem", "unquoted_command", "unquoted_programs"]

#: How long a program is given to answer "ping" when it is tried on its own.
START_DEADLINE = 10.0

#: Interpreters whose first argument is a script: a bare one of these as a whole program is
#: almost surely the first word of an unquoted command line.
_INTERPRETER = re.compile(r"(python|pypy|node|ruby|perl|php|bash|sh|java|lua|Rscript)[0-9.]*(\.exe)?")
_SCRIPT = re.compile(r".+\.(py|js|mjs|rb|pl|php|sh|jar|lua|R)$")


def unquoted_programs(programs: Sequence[str]) -> str | None:
    """The fix, when the programs look like the unquoted words of fewer programs; else None.

    A bare interpreter name followed by a word that is no interpreter starts a program: its
    options, its script, then plain arguments (no path, no script, no interpreter) follow.
    An option (a word starting with "-"), and the plain arguments after it, belong to the
    program before it.
    """
    return unquoted_command(programs)


def unquoted_command(words: Sequence[str], *, options: Sequence[str] = ()) -> str | None:
    """As `unquoted_programs` for the words that stand where programs do; the fix is the
    whole command line: the programs quoted, then `options`, the other words as given."""
    groups = _programs(words)
    if all(len(group) == 1 for group in groups):
        return None
    quoted = " ".join(shlex.quote(" ".join(group)) for group in groups)
    rest = f" {shlex.join(options)}" if options else ""
    return (f"the programs look like the unquoted words of {len(groups)} program(s); quote each "
            f"program's command line: veltrix-match {quoted}{rest}")


def check_command_line(parser: argparse.ArgumentParser, words: Sequence[str]) -> None:
    """A usage error with the fix (exit status 2) when the programs are given as unquoted
    words, wherever options stand among them (`python3 a.py --games 10 python3 b.py`);
    any other fault of the command line is left to `parser.parse_args`.

    argparse takes as programs only the first run of plain words and sets the rest aside
    with the options it does not know (those of a program: `a.py --depth 4`). Each word is
    tagged with its place, so that both can be put back in the order they were given.
    """
    tagged = [_Word(word, index) for index, word in enumerate(words)]
    args, unknown = parser.parse_known_args(tagged)
    loose = [word for word in [*args.programs, *unknown] if isinstance(word, _Word)]
    if len(loose) != len(args.programs) + len(unknown):
        return  # a word argparse made itself (it does not for these): no sure order
    loose.sort(key=lambda word: word.place)
    while loose and loose[0].startswith("-"):
        loose.pop(0)  # an option before any program cannot be a program's
    taken = {word.place for word in loose}
    # "--" (the programs follow) has no place once the options follow the programs.
    options = [word for index, word in enumerate(words) if index not in taken and word != "--"]
    fix = unquoted_command([str(word) for word in loose], options=options)
    if fix:
        parser.error(fix)


class _Word(str):
    """A command-line word that knows its place on the command line."""

    place: int

    def __new__(cls, text: str, place: int) -> _Word:
        word = super().__new__(cls, text)
        word.place = place
        return word


def _programs(words: Sequence[str]) -> list[list[str]]:
    """The words grouped into programs, as a shell would have had them quoted."""
    groups: list[list[str]] = []
    left = list(words)
    while left:
        word = left.pop(0)
        if groups and _is_option(word):
            # An option starts no program: it is the one before's (`./engine -q 4 ./other`).
            groups[-1].append(word)
            while left and _is_argument(left[0]):
                groups[-1].append(left.pop(0))
            continue
        group = [word]
        if _is_interpreter(word) and left and not _is_interpreter(left[0]):
            while left and _is_option(left[0]):
                group.append(left.pop(0))
            if left and not _is_interpreter(left[0]):
                group.append(left.pop(0))
            while left and _is_argument(left[0]):
                group.append(left.pop(0))
        groups.append(group)
    return groups


def _is_argument(text: str) -> bool:
    """A word that reads as an argument of the script before it rather than a program."""
    return (" " not in text and "/" not in text and not _is_interpreter(text)
            and _SCRIPT.match(text) is None)


def _is_interpreter(text: str) -> bool:
    return " " not in text.strip() and _INTERPRETER.fullmatch(Path(text).name) is not None


def _is_option(text: str) -> bool:
    return text.startswith("-") and " " not in text


def _time_scale() -> float:
    """VELTRIX_TEST_TIME_SCALE, as the arena reads it: a number above 0 and at most 1 shortens
    the fixed limits (tests check a ten-second rule in one); anything else counts as 1."""
    try:
        scale = float(os.environ.get("VELTRIX_TEST_TIME_SCALE", "1"))
    except ValueError:
        return 1.0
    return scale if 0 < scale <= 1 else 1.0


def start_problem(command: Sequence[str], deadline: float | None = None) -> str | None:
    """What stops `command` from starting as a player, in a few words; None if it starts.

    `deadline`: seconds given to answer ping (default START_DEADLINE)."""
    if deadline is None:
        deadline = START_DEADLINE * _time_scale()
    argv = [*command, "BLACK"]
    try:
        process = subprocess.Popen(
            argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            start_new_session=True,  # its own group, so its helpers are ended with it
        )
    except FileNotFoundError:
        return "not found" + _missing_interpreter(command[0])
    except PermissionError:
        return "permission denied" + (" (it is a directory)" if _program_file(command[0]).is_dir() else "")
    except OSError as error:
        return f"cannot be started: {error.strerror or error}"
    try:
        return _handshake(process, deadline)
    finally:
        _end(process)


def _program_file(word: str) -> Path:
    """The file a command's first word runs: a path as given, else found on PATH."""
    if "/" in word:
        return Path(word)
    found = shutil.which(word)
    return Path(found) if found else Path("/nonexistent") / word


def _missing_interpreter(word: str) -> str:
    """When the program is there but its "#!" line names an interpreter that is not: says so
    (the system reports both as "not found")."""
    program = _program_file(word)
    try:
        with open(program, "rb") as file:
            first = file.readline(512)
    except OSError:
        return ""
    if not first.startswith(b"#!"):
        return ""
    words = first[2:].decode("utf-8", "replace").split()
    if not words or Path(words[0]).exists():
        return ""
    return f" (its #! line names {words[0]}, which does not exist)"


def _handshake(process: subprocess.Popen[bytes], deadline: float) -> str | None:
    assert process.stdin and process.stdout and process.stderr
    try:
        process.stdin.write(b"ping\n")
        process.stdin.flush()
    except OSError:
        pass  # it has gone already: what it said on the way out tells why
    reply, errors = b"", b""
    open_streams = {process.stdout.fileno(): "out", process.stderr.fileno(): "err"}
    ends = time.monotonic() + deadline
    with selectors.DefaultSelector() as selector:
        for fd in open_streams:
            selector.register(fd, selectors.EVENT_READ)
        while open_streams and b"\n" not in reply:
            left = ends - time.monotonic()
            if left <= 0:
                return f"did not answer ping within {deadline:g} s"
            for key, _ in selector.select(min(left, 0.5)):
                chunk = os.read(key.fd, 65536)
                if not chunk:
                    selector.unregister(key.fd)
                    del open_streams[key.fd]
                elif open_streams[key.fd] == "out":
                    reply += chunk
                else:
                    errors = (errors + chunk)[-4096:]
    if b"\n" in reply or reply:
        line = reply.split(b"\n", 1)[0].decode("utf-8", "replace").strip()
        if line == "pong":
            return None
        return f"answered {_quote(line)} to ping instead of pong"
    try:
        status = process.wait(timeout=max(0.1, ends - time.monotonic()))
    except subprocess.TimeoutExpired:
        return f"closed its output without answering ping within {deadline:g} s"
    last = _last_line(errors)
    said = f": {last}" if last else ""
    if status < 0:
        return f"was killed by {signal.Signals(-status).name} before answering ping{said}"
    return f"exited with status {status} before answering ping{said}"


def _last_line(data: bytes) -> str:
    lines = [line.strip() for line in data.decode("utf-8", "replace").splitlines()]
    lines = [line for line in lines if line]
    return _quote(lines[-1], plain=True) if lines else ""


def _quote(text: str, plain: bool = False, limit: int = 300) -> str:
    cut = text if len(text) <= limit else text[:limit] + "... (cut)"
    return cut if plain else repr(cut)


def _end(process: subprocess.Popen[bytes]) -> None:
    """Kills the program's group and reaps it; closes the pipes."""
    with contextlib.suppress(ProcessLookupError, PermissionError):
        os.killpg(process.pid, signal.SIGKILL)
    for stream in (process.stdin, process.stdout, process.stderr):
        if stream:
            with contextlib.suppress(OSError):
                stream.close()
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:  # unkillable (a stuck disk): say nothing more, leave it
        pass
