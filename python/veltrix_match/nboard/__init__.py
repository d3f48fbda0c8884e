"""NBoard engines (Edax, NTest, Egaroucid, ...) as veltrix player programs.

`python -m veltrix_match.nboard` (console script `veltrix-nboard`) is the adapter; see
veltrix_match.nboard.adapter. `adapter_command` builds its command line for an arena, and
`engine_name` asks an engine for its name once.
"""

from __future__ import annotations

import subprocess
import sys
from collections.abc import Sequence

from .engine import EngineError, NBoardEngine, parse_move

__all__ = ["EngineError", "NBoardEngine", "PREFIX", "adapter_command", "engine_name",
           "is_adapter_command", "on_this_machine", "parse_move"]

#: How a veltrix-match program is marked as an NBoard engine: "nboard:edax -q".
PREFIX = "nboard:"
_MODULE = ["-m", "veltrix_match.nboard"]


def adapter_command(engine: str, *, depth: int | None = None, move_time: float | None = None,
                    name: str | None = None, directory: str | None = None) -> list[str]:
    """The player command that runs `engine` (its command line as one string) through the adapter."""
    command = [sys.executable, *_MODULE]
    if depth is not None:
        command += ["--depth", str(depth)]
    if move_time is not None:
        command += ["--move-time", f"{move_time:g}"]
    if name is not None:
        command += ["--name", name]
    if directory is not None:
        command += ["--dir", directory]
    return [*command, engine]


def is_adapter_command(argv: Sequence[str]) -> bool:
    return list(argv[1:3]) == _MODULE


def on_this_machine(argv: Sequence[str]) -> list[str]:
    """`argv` with an adapter command's interpreter replaced by this process's own: a match's
    commands are made on the driver, whose interpreter path may not exist on a cluster node."""
    if is_adapter_command(argv):
        return [sys.executable, *argv[1:]]
    return list(argv)


def engine_name(argv: Sequence[str], timeout: float = 60.0) -> str | None:
    """The name an adapter command's engine gives ("set myname"), or None when it gives
    none or fails (the match then reports the failure itself)."""
    try:
        result = subprocess.run([*argv, "--print-name"], capture_output=True, text=True,
                                timeout=timeout, stdin=subprocess.DEVNULL)
    except (OSError, subprocess.SubprocessError):
        return None
    name = result.stdout.strip()
    return name if result.returncode == 0 and name else None
