"""Chunks: the unit of work of a match, and the executors that play them.

A match is cut into chunks, each a handful of game pairs between two programs. The driver
(veltrix_match.match) makes the chunks, hands them to an executor, and puts the results back
in game order; an executor only plays them. This is the whole contract between the two:

``Chunk`` (frozen dataclass, picklable)
    index        int: position in the schedule (0, 1, 2, ...).
    first_game   int: match-wide index of the chunk's first game; always even.
    pairing      int: which pair of programs plays (0 in a head-to-head; in a round robin the
                 index of the pair in the driver's list of pairings).
    commands     (argv A, argv B): the two programs' command lines, as lists of strings.
    openings     tuple of transcripts, one per game pair of the chunk.
    time_limit   float: seconds per move.
    concurrency  int: games played at once (even, >= 2).
    forfeit      bool: a failing program loses the game (True) or stops the match (False).
    adjudicate_empties  int or None: once a game has this many empty squares or fewer, the
                 arena solves it exactly and scores it as perfect play ends it.
    games        property: 2 * len(openings).

    Game ``first_game + i`` of the chunk starts from ``openings[i // 2]``; in an even game
    command A plays Black, in the odd one command B.

``play_chunk(chunk, on_progress=None) -> list[dict]``
    Plays the chunk through ``veltrix.Arena(*chunk.commands).play_adjudicated(...)`` in this process
    and returns one plain dict per game, in game order: the record's fields (black, opening,
    moves, winner, black_discs, white_discs, error; 1 and 2 mean command A and B) plus
    "game" (first_game + i) and "pairing". A failure (with forfeit off, or a program that
    cannot start) raises ValueError: GameFailure or StartFailure (veltrix_match.errors). Plain
    dicts travel between processes and machines. `on_progress`, when given, is called with the
    number of the chunk's games finished so far as they finish (for a live progress line).

``Executor`` (protocol)
    run(chunks) -> iterator of (chunk, results): plays every chunk of the iterable (which may
    be lazy) and yields each with its play_chunk results as it finishes, in any order. An
    error of a chunk is raised from the iterator.
    cancel(): no more chunks are wanted (the match is decided); chunks not started are
    dropped and the iterator ends soon. Called from the thread iterating run().
    close(): the match is over; release workers and connections.
    describe() -> str | None: a line on how the games were spread, or None.
    retried_chunks: units of work played again after a lost worker (None: unknown).

``LocalExecutor`` plays the chunks one after another in this process, each with its own
concurrency; its `on_progress` hears of each game of the chunk playing as it finishes. Other executors (the cluster one in veltrix_match.cluster) follow the same
protocol and need nothing else from the driver.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from typing import Literal, Protocol, cast

import veltrix

from .errors import classify
from .results import GameResult

__all__ = ["RECORD_FIELDS", "Chunk", "Executor", "LocalExecutor", "local_commands", "play_chunk"]

#: The fields of a game record, in the order they are written out.
RECORD_FIELDS = ("black", "opening", "moves", "winner", "black_discs", "white_discs", "error")


@dataclass(frozen=True)
class Chunk:
    """A run of game pairs between two programs; see the module documentation."""

    index: int
    first_game: int
    pairing: int
    commands: tuple[list[str], list[str]]
    openings: tuple[str, ...]
    time_limit: float = 5.0
    concurrency: int = 2
    forfeit: bool = False
    adjudicate_empties: int | None = None  # solve exactly from this many empty squares

    def __hash__(self) -> int:
        # The command lines are lists; hash them as tuples so chunks can key a dict or a set.
        commands = tuple(tuple(command) for command in self.commands)
        return hash((self.index, self.first_game, self.pairing, commands, self.openings))

    @property
    def games(self) -> int:
        """The number of games of the chunk: one pair per opening."""
        return 2 * len(self.openings)


def play_chunk(chunk: Chunk, on_progress: Callable[[int], object] | None = None) -> list[GameResult]:
    """Plays the chunk in this process; one dict per game, in game order."""
    arena = veltrix.Arena(*local_commands(chunk.commands))
    on_error: Literal["raise", "forfeit"] = "forfeit" if chunk.forfeit else "raise"
    try:
        # With no adjudication this plays every game out, exactly as Arena.play does.
        records = arena.play_adjudicated(chunk.games, chunk.adjudicate_empties, openings=list(chunk.openings),
                                         time_limit=chunk.time_limit, concurrency=chunk.concurrency,
                                         on_error=on_error, progress=False, on_progress=on_progress)
    except ValueError as error:
        typed = classify(error)
        game = getattr(error, "game", None)
        if isinstance(game, int):  # the arena's index within this batch: make it match-wide
            typed.game = chunk.first_game + game  # type: ignore[attr-defined]
        raise typed from None
    results = []
    for offset, record in enumerate(records):
        fields = {field: getattr(record, field) for field in RECORD_FIELDS}
        fields["adjudicated"] = record.adjudicated_ply is not None
        fields["adjudicated_ply"] = record.adjudicated_ply
        # The reply of an illegal or unreadable move that forfeited the game.
        fields["reply"] = record.reply
        results.append(cast(GameResult, {"game": chunk.first_game + offset, "pairing": chunk.pairing, **fields}))
    return results


def local_commands(commands: tuple[list[str], list[str]]) -> tuple[list[str], list[str]]:
    """The commands as this machine runs them: an NBoard adapter through this interpreter."""
    from .nboard import on_this_machine

    return on_this_machine(commands[0]), on_this_machine(commands[1])


class Executor(Protocol):
    """Plays chunks and yields their results as they finish; see the module documentation."""

    def run(self, chunks: Iterable[Chunk]) -> Iterator[tuple[Chunk, list[GameResult]]]: ...

    def cancel(self) -> None: ...

    def close(self) -> None:
        """Lets go of whatever the executor holds (workers, a cluster connection)."""

    def describe(self) -> str | None:
        """How the games were spread, for the report; None when there is nothing to say."""

    @property
    def retried_chunks(self) -> int | None:
        """Units of work played again after a worker was lost (None: not known)."""


class LocalExecutor:
    """Plays the chunks one after another in this process.

    `on_progress`, when given, is told the number of games of the chunk playing that have
    finished, as they finish; the chunk's results still come back whole.
    """

    def __init__(self, on_progress: Callable[[int], object] | None = None) -> None:
        self._cancelled = False
        self.on_progress = on_progress

    def run(self, chunks: Iterable[Chunk]) -> Iterator[tuple[Chunk, list[GameResult]]]:
        for chunk in chunks:
            if self._cancelled:
                return
            yield chunk, play_chunk(chunk, self.on_progress)

    def cancel(self) -> None:
        self._cancelled = True

    def close(self) -> None:
        pass

    def describe(self) -> str | None:
        return None  # one process, nothing spread: the report says all there is

    @property
    def retried_chunks(self) -> int | None:
        return 0
