"""Process-tree and liveness helpers shared by the tests that start player programs."""

import os
import sys
import time
from pathlib import Path

PLAYERS = Path(__file__).resolve().parent / "players"
SCRIPTED_PLAYER = str(PLAYERS / "scripted_player.py")


def player(mode, *options):
    """The command line of the scripted player in `mode` (tests/players/scripted_player.py)."""
    return [sys.executable, SCRIPTED_PLAYER, mode, *map(str, options)]


def _stat_fields(pid):
    """The fields of /proc/PID/stat after the command name: state, parent, group, ..."""
    return Path("/proc", str(pid), "stat").read_text().rpartition(")")[2].split()


def children_of(pid):
    """Pids of the live or zombie children of `pid`, from /proc."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if int(_stat_fields(entry)[1]) == pid:
                found.append(int(entry))
        except (OSError, IndexError):
            continue
    return found


def alive(pid):
    """False once `pid` is gone or a zombie: its descriptors are closed either way, and an
    orphan killed with its group waits for init to reap it. (A child of the test process that
    stays a zombie is caught by `children_of`, which lists zombies.)"""
    try:
        return _stat_fields(pid)[0] != "Z"
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return False


def wait_until_ended(pids, seconds=5.0):
    """The pids still alive after a bounded wait (a SIGKILL takes effect within moments)."""
    deadline = time.monotonic() + seconds
    while (left := [pid for pid in pids if alive(pid)]) and time.monotonic() < deadline:
        time.sleep(0.02)
    return left
