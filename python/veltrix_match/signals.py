"""SIGTERM and SIGHUP stop a match the way Ctrl-C does.

`timeout`, CI cancellation, `docker stop` and systemd send SIGTERM; a closed terminal sends
SIGHUP. Left to their defaults they kill the runner at once, with no report, no summary and
the player programs left running. Inside `stop_on_signals()` they raise `Stopped`, a
KeyboardInterrupt, so the arena ends and reaps its programs exactly as for Ctrl-C. Only the
veltrix-match command installs these handlers (the library never does), and it puts the
previous ones back when the match is over.
"""

from __future__ import annotations

import contextlib
import signal
from collections.abc import Callable, Iterator
from types import FrameType

__all__ = ["STOP_SIGNALS", "Stopped", "exit_status", "stop_on_signals"]

STOP_SIGNALS = (signal.SIGTERM, signal.SIGHUP)


class Stopped(KeyboardInterrupt):
    """The match was asked to stop by a signal other than SIGINT."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def exit_status(interrupt: KeyboardInterrupt) -> int:
    """The shell's status for a process ended by the signal: 128 + its number."""
    signum = interrupt.signum if isinstance(interrupt, Stopped) else signal.SIGINT
    return 128 + int(signum)


@contextlib.contextmanager
def stop_on_signals() -> Iterator[Callable[[], None]]:
    """SIGTERM and SIGHUP raise Stopped while the block runs (main thread only).

    Only the first one raises: a second SIGTERM while the programs are being reaped and the
    report written would cut that short and leave what the first one was meant to save. The
    block is given a function that disarms the handlers once the games are over, for the same
    reason: from then on the signals are taken and do nothing.
    """
    previous = {}
    raised = False

    def _raise_stopped(signum: int, _frame: FrameType | None) -> None:
        nonlocal raised
        if not raised:
            raised = True
            raise Stopped(signum)

    def disarm() -> None:
        nonlocal raised
        raised = True

    try:
        for signum in STOP_SIGNALS:
            previous[signum] = signal.signal(signum, _raise_stopped)
        yield disarm
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
