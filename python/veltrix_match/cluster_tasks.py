"""Cutting a match's chunks into cluster tasks, sizing them, and putting the results back.

The driver hands out chunks of whatever size suits it; the cluster path re-cuts them into
tasks that take a few seconds each (long enough that starting the programs and shipping
the task cost little, short enough that the work spreads over every worker and an SPRT stop
wastes little), then gives every chunk back whole, each game once. It also holds the check a
node makes before it plays (are the programs there?). Nothing here needs Ray, so all of it is
tested on its own.
"""

from __future__ import annotations

import dataclasses
import math
import os
import shutil
from collections import deque
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

from .chunks import Chunk
from .results import GameResult

__all__ = [
    "Assembler", "ChunkSizer", "Piece", "Task", "WorkQueue", "files_named", "missing_files", "task_concurrency",
]

# The fields that place a chunk in the match; every other field must agree for two chunks'
# games to be played by one Arena.
_PLACE_FIELDS = frozenset({"index", "first_game", "openings"})


def _frozen(value: Any) -> Any:
    if isinstance(value, (list, tuple)):
        return tuple(_frozen(item) for item in value)
    return value


def _settings(chunk: Chunk) -> tuple[Any, ...]:
    """What two chunks must share to be played together: programs, pairing, time control..."""
    return tuple(
        _frozen(getattr(chunk, field.name))
        for field in dataclasses.fields(chunk)
        if field.name not in _PLACE_FIELDS
    )


def task_concurrency(concurrency: int, games: int) -> int:
    """The games a task plays at once: the chunk's concurrency, but no more than its games."""
    return max(2, min(concurrency, games) // 2 * 2)


@dataclasses.dataclass(frozen=True)
class Piece:
    """Pairs `start` to `stop` (exclusive) of a driver's chunk."""

    chunk: Chunk
    start: int
    stop: int

    @property
    def first_game(self) -> int:
        return self.chunk.first_game + 2 * self.start

    @property
    def end_game(self) -> int:
        return self.chunk.first_game + 2 * self.stop

    @property
    def pairs(self) -> int:
        return self.stop - self.start


@dataclasses.dataclass(frozen=True)
class Task:
    """One unit of work for a worker: consecutive games of one pairing, as one chunk."""

    number: int
    chunk: Chunk
    pieces: tuple[Piece, ...]

    @property
    def games(self) -> range:
        return range(self.chunk.first_game, self.chunk.first_game + self.chunk.games)

    @property
    def pairs(self) -> int:
        return len(self.chunk.openings)


class WorkQueue:
    """Pulls the driver's chunks lazily and cuts tasks of a requested number of pairs.

    A task takes the earliest game not yet handed out, then the games that follow it in the
    same pairing, across the driver's chunks, so games come back roughly in game order (the
    driver releases them strictly in that order). It looks at most `lookahead` chunks ahead
    for the continuation of a pairing.
    """

    def __init__(self, chunks: Iterable[Chunk], lookahead: int = 1024) -> None:
        self._source: Iterator[Chunk] | None = iter(chunks)
        self._pending: list[Piece] = []
        self._lookahead = lookahead
        self._tasks = 0
        #: Every chunk pulled from the driver, in the order pulled (for the Assembler).
        self.pulled: deque[Chunk] = deque()

    @property
    def exhausted(self) -> bool:
        """True when the driver has no more chunks (what is pending is all there is)."""
        return self._source is None

    def head(self) -> Chunk | None:
        """The chunk of the earliest game not yet handed out (None when all is taken)."""
        if not self._pending and not self._pull():
            return None
        return self._pending[0].chunk

    @property
    def pending_pairs(self) -> int:
        return sum(piece.pairs for piece in self._pending)

    def _pull(self) -> bool:
        if self._source is None:
            return False
        for chunk in self._source:
            if chunk.games <= 0:
                continue
            self.pulled.append(chunk)
            self._pending.append(Piece(chunk, 0, len(chunk.openings)))
            return True
        self._source = None
        return False

    def _find(self, settings: tuple[Any, ...], game: int) -> int | None:
        """The position of the pending piece that starts at `game` with these settings."""
        for position, piece in enumerate(self._pending):
            if piece.first_game == game and _settings(piece.chunk) == settings:
                return position
        return None

    def take(self, pairs: int) -> Task | None:
        """The next task of at most `pairs` pairs (at least one), or None when all is taken."""
        if self.head() is None:
            return None
        pairs = max(1, pairs)
        settings = _settings(self._pending[0].chunk)
        taken: list[Piece] = []
        position: int | None = 0
        while True:
            assert position is not None
            piece = self._pending[position]
            want = pairs - sum(p.pairs for p in taken)
            if piece.pairs <= want:
                del self._pending[position]
                taken.append(piece)
            else:
                taken.append(Piece(piece.chunk, piece.start, piece.start + want))
                self._pending[position] = Piece(piece.chunk, piece.start + want, piece.stop)
            if sum(p.pairs for p in taken) >= pairs:
                break
            game = taken[-1].end_game
            position = self._find(settings, game)
            pulls = 0
            while position is None and pulls < self._lookahead and self._pull():
                pulls += 1
                position = self._find(settings, game)
            if position is None:
                break
        return self._task(tuple(taken))

    def _task(self, pieces: tuple[Piece, ...]) -> Task:
        first = pieces[0]
        openings = tuple(
            opening for piece in pieces for opening in piece.chunk.openings[piece.start : piece.stop]
        )
        chunk = dataclasses.replace(
            first.chunk,
            index=self._tasks,
            first_game=first.first_game,
            openings=openings,
            concurrency=task_concurrency(first.chunk.concurrency, 2 * len(openings)),
        )
        self._tasks += 1
        return Task(self._tasks - 1, chunk, pieces)


class ChunkSizer:
    """Picks how many pairs the next task plays, from how long finished tasks took.

    It starts small (one pair per game slot, so the first results come back at once and
    measure the games), estimates the time of one round of concurrent games from the recent
    tasks, and aims at `target_seconds` per task, growing at most `growth`-fold per step so
    that one fast outlier cannot make a huge task. The estimate is the recent tasks' time
    over their rounds, in total: a task's fixed cost (starting its programs) weighs on the
    small first tasks' own rates, and would keep the tasks short if each counted alike.
    """

    def __init__(
        self,
        target_seconds: float = 3.0,
        *,
        max_pairs: int = 512,
        growth: int = 8,
        window: int = 8,
    ) -> None:
        if not target_seconds > 0:
            raise ValueError(f"target_seconds must be positive (got {target_seconds})")
        if max_pairs < 1 or growth < 2 or window < 1:
            raise ValueError("max_pairs must be >= 1, growth >= 2 and window >= 1")
        self.target_seconds = target_seconds
        self.max_pairs = max_pairs
        self.growth = growth
        self._recent: deque[tuple[int, float]] = deque(maxlen=window)  # (rounds, seconds)
        self._largest = 0

    @staticmethod
    def rounds(pairs: int, concurrency: int) -> int:
        """How many rounds of concurrent games a task of `pairs` pairs plays."""
        games = 2 * pairs
        return math.ceil(games / task_concurrency(concurrency, games))

    def observe(self, pairs: int, concurrency: int, seconds: float) -> None:
        """Records that a task of `pairs` pairs at `concurrency` took `seconds` on its worker."""
        self._largest = max(self._largest, pairs)
        self._recent.append((self.rounds(pairs, concurrency), max(seconds, 1e-6)))

    @property
    def round_seconds(self) -> float | None:
        """The estimated time of one round of concurrent games (None before any task ended)."""
        if not self._recent:
            return None
        return sum(seconds for _, seconds in self._recent) / sum(rounds for rounds, _ in self._recent)

    def pairs(self, concurrency: int, *, remaining: int | None = None, workers: int = 1) -> int:
        """The size of the next task, in pairs.

        With `remaining` (the pairs left when the driver has no more), no task takes more
        than its share over `workers`, so the match does not end waiting on one long task.
        """
        per_round = max(1, concurrency // 2)
        estimate = self.round_seconds
        if estimate is None:
            size = per_round
        else:
            rounds = max(1, math.floor(self.target_seconds / estimate))
            size = min(rounds * per_round, self.growth * max(self._largest, per_round))
        size = min(size, self.max_pairs)
        if remaining is not None:
            size = min(size, max(per_round, math.ceil(remaining / max(1, workers))))
        return max(1, size)


class Assembler:
    """Collects task results into the driver's chunks; each game counts once.

    A chunk is handed back when every one of its games has come in; a game that comes in
    twice (a task run again) is dropped and counted in `duplicates`.
    """

    def __init__(self) -> None:
        self._open: dict[int, tuple[Chunk, dict[int, GameResult]]] = {}
        self._done: set[int] = set()
        self.duplicates = 0

    def expect(self, chunk: Chunk) -> None:
        """Registers a chunk of the driver (before any of its games can come in)."""
        self._open.setdefault(chunk.first_game, (chunk, {}))

    def add(self, task: Task, records: list[GameResult]) -> list[tuple[Chunk, list[GameResult]]]:
        """Files a finished task's records; returns the chunks that are now complete."""
        games = {record.get("game") for record in records}
        if len(records) != len(task.games) or games != set(task.games):
            raise ValueError(
                f"games {task.games.start}-{task.games.stop - 1} came back as "
                f"{len(records)} records for games {sorted(games, key=str)}"
            )
        complete = []
        for piece in task.pieces:
            key = piece.chunk.first_game
            if key in self._done:
                self.duplicates += piece.pairs * 2
                continue
            chunk, filed = self._open[key]
            for record in records:
                game = record["game"]
                if piece.first_game <= game < piece.end_game:
                    if game in filed:
                        self.duplicates += 1
                    else:
                        filed[game] = record
            if len(filed) == chunk.games:
                del self._open[key]
                self._done.add(key)
                complete.append((chunk, [filed[game] for game in sorted(filed)]))
        return complete

    @property
    def open_chunks(self) -> int:
        return len(self._open)


def missing_files(commands: Sequence[Sequence[str]], driver_files: Iterable[str]) -> list[str]:
    """The programs of `commands` not found here, and the files of `driver_files` missing here.

    A command's first word is looked up as the shell would (PATH, or a path relative to the
    working directory); `driver_files` are the arguments that named files on the machine the
    match was started from, so they must name files here too.
    """
    driver_files = set(driver_files)
    missing = []
    for argv in commands:
        if shutil.which(argv[0]) is None:
            missing.append(argv[0])
        missing.extend(arg for arg in argv[1:] if arg in driver_files and not os.path.exists(arg))
    return list(dict.fromkeys(missing))


def files_named(commands: Sequence[Sequence[str]]) -> list[str]:
    """The arguments of `commands` (after the program) that name files in this directory."""
    return sorted({arg for argv in commands for arg in argv[1:] if os.path.isfile(arg)})
