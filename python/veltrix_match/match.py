"""The match driver: schedules chunks, puts results back in game order, keeps the score.

A match is a list of programs and a number of games per pair of programs: one pairing for a
head-to-head, every pair of programs for a round robin. The driver cuts each pairing's games
into chunks (veltrix_match.chunks), interleaving the pairings so that standings fill evenly,
and feeds them to an executor. Results may come back in any order; each pairing releases
its games strictly in game order, so statistics, the SPRT (checked after every finished pair)
and the game records written out are the same whatever the executor and its timing.

Every chunk starts its programs afresh, a fixed cost that short games would feel. Unless a
chunk size is given, chunks therefore grow to last about `chunk_seconds` each at the rate
games have come back so far: the progress line and the SPRT still hear from the match every
few seconds, while the start-up cost stays a few percent of the time whatever a game lasts.
Which game plays which opening never depends on the chunk sizes.
"""

from __future__ import annotations

import itertools
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from .chunks import Chunk, Executor
from .results import GameResult, Winner, game_points
from .sprt import Sprt, SprtState

__all__ = ["Match", "Pairing", "Program", "Tally", "game_points"]


@dataclass(frozen=True)
class Program:
    """A player program: the name shown in tables and records, and its command line."""

    name: str
    command: list[str]


@dataclass
class Tally:
    """The results of a pairing from its first program's side."""

    wins: int = 0
    losses: int = 0
    draws: int = 0
    #: Pairs in which the first program scored 0, 1/2, 1, 3/2 and 2 points.
    pentanomial: list[int] = field(default_factory=lambda: [0] * 5)
    #: Games forfeited by the first and by the second program.
    forfeits: list[int] = field(default_factory=lambda: [0, 0])
    #: Games scored by the exact solver (--adjudicate-empties).
    adjudicated: int = 0

    @property
    def games(self) -> int:
        return self.wins + self.losses + self.draws

    @property
    def points(self) -> float:
        return self.wins + self.draws / 2

    def add(self, result: GameResult) -> None:
        points = game_points(result)
        if points == 1.0:
            self.wins += 1
        elif points == 0.0:
            self.losses += 1
        else:
            self.draws += 1
        if result.get("adjudicated"):
            self.adjudicated += 1
        if result.get("error") is not None:
            # The side not at fault is the winner; the other one forfeited.
            self.forfeits[0 if result["winner"] == Winner.SECOND else 1] += 1

    def add_pair(self, points: float) -> None:
        """Counts a finished pair in which the first program scored `points` (0..2)."""
        self.pentanomial[round(points * 2)] += 1


@dataclass
class Pairing:
    """Two programs of the match, the games they play and what has come back so far."""

    index: int
    first: int  # index of command A in the match's programs
    second: int  # index of command B
    first_game: int  # match-wide index of the pairing's first game
    games: int  # games planned
    tally: Tally = field(default_factory=Tally)
    released: int = 0  # games counted, all in game order
    _pending: dict[int, GameResult] = field(default_factory=dict)
    _pair_points: float = 0.0

    def accept(self, results: Sequence[GameResult]) -> None:
        """Holds results until every earlier game of the pairing has come back.

        A game that came back before (a chunk played twice) is counted once.
        """
        for result in results:
            game = result["game"]
            if self.first_game + self.released <= game < self.first_game + self.games:
                self._pending.setdefault(game, result)

    def release(self) -> Iterator[GameResult]:
        """The held results that are next in game order.

        Each result is counted once the caller asks for the next one (see `count`), so a
        caller that fails to keep a result (a write that failed) leaves it uncounted.
        """
        while (game := self.first_game + self.released) in self._pending:
            yield self._pending[game]

    def count(self, result: GameResult) -> bool:
        """Counts the next result in game order; returns whether it ends a pair."""
        del self._pending[result["game"]]
        self.tally.add(result)
        self._pair_points += game_points(result)
        self.released += 1
        ends_pair = self.released % 2 == 0
        if ends_pair:
            self.tally.add_pair(self._pair_points)
            self._pair_points = 0.0
        return ends_pair

    def drop_pending(self) -> None:
        """Forgets held results that do not continue the game order."""
        self._pending.clear()


class Match:
    """A head-to-head (two programs), a round robin (three or more), or a gauntlet (the
    first program against each of the others)."""

    def __init__(
        self,
        programs: Sequence[Program],
        games: int,
        openings: Sequence[str],
        *,
        time_limit: float = 5.0,
        concurrency: int = 2,
        forfeit: bool = False,
        sprt: Sprt | None = None,
        chunk_games: int | None = None,
        chunk_seconds: float = 5.0,
        gauntlet: bool = False,
        adjudicate_empties: int | None = None,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        if len(programs) < 2:
            raise ValueError("a match needs at least two programs")
        if games <= 0 or games % 2:
            raise ValueError(f"games must be even and positive (got {games})")
        if not openings:
            raise ValueError("a match needs at least one opening")
        if sprt is not None and len(programs) != 2:
            raise ValueError("the SPRT needs exactly two programs")
        if chunk_games is not None and (chunk_games <= 0 or chunk_games % 2):
            raise ValueError(f"chunk games must be even and positive (got {chunk_games})")
        self.programs = list(programs)
        self.games = games
        self.openings = list(openings)
        self.time_limit = time_limit
        self.concurrency = concurrency
        self.forfeit = forfeit
        self.sprt = sprt
        self.sprt_state: SprtState | None = sprt.state([0] * 5) if sprt else None
        self.chunk_pairs = chunk_games // 2 if chunk_games else None
        self.chunk_seconds = chunk_seconds
        self._clock = clock
        self._started: float | None = None
        self.restored = 0  # games counted from an earlier run (--resume), not played here
        self._restored_pairs: dict[int, int] = {}  # pairing -> whole pairs counted from it
        self.gauntlet = gauntlet and len(self.programs) > 2
        self.adjudicate_empties = adjudicate_empties
        pairs: Iterable[tuple[int, int]] = itertools.combinations(range(len(self.programs)), 2)
        if self.gauntlet:  # the first program against each of the others, not they among themselves
            pairs = ((0, other) for other in range(1, len(self.programs)))
        self.pairings = [
            Pairing(index, first, second, index * games, games)
            for index, (first, second) in enumerate(pairs)
        ]

    @property
    def total_games(self) -> int:
        return self.games * len(self.pairings)

    @property
    def played(self) -> int:
        return sum(pairing.released for pairing in self.pairings)

    @property
    def decided(self) -> bool:
        return self.sprt_state is not None and self.sprt_state.decision is not None

    def restore(self, results: Sequence[GameResult]) -> list[GameResult]:
        """Counts the games of an earlier run of this match (before `run`); returns those
        counted, in the order given (a game given twice is counted, and returned, once).

        Each pairing takes the games that continue it in game order (a run writes each
        pairing's games strictly in order, so that is all of them); the SPRT state is that of
        the whole match so far. `run` then plays only what is missing.
        """
        counted: set[int] = set()  # ids of the results counted
        for pairing in self.pairings:
            pairing.accept(results)
            for result in pairing.release():
                pairing.count(result)
                counted.add(id(result))
                self.restored += 1
            pairing.drop_pending()
            self._restored_pairs[pairing.index] = pairing.released // 2
        if self.sprt and self.pairings[0].tally.games:
            self.sprt_state = self.sprt.state(self.pairings[0].tally.pentanomial)
        kept = []
        for result in results:
            if id(result) in counted:
                counted.discard(id(result))
                kept.append(result)
        return kept

    def opening_of(self, game: int) -> str:
        """The opening match-wide game `game` starts from."""
        pairing = self.pairings[game // self.games]
        pair = (game - pairing.first_game) // 2
        return self.openings[pair % len(self.openings)]

    def _next_chunk_pairs(self, previous: int) -> int:
        """Pairs in the next chunk: fixed, or as many as come back in chunk_seconds."""
        if self.chunk_pairs:
            return self.chunk_pairs
        first = 2 * self.concurrency  # four games per worker
        elapsed = self._clock() - self._started if self._started is not None else 0.0
        played = self.played - self.restored
        if not previous or played <= 0 or elapsed <= 0:
            return first
        rate = played / elapsed  # games per second, start-up costs included
        wanted = int(rate * self.chunk_seconds / 2)
        # Growth is bounded: a first chunk cut short (a program failing at once) says little.
        return max(self.concurrency, min(wanted, 16 * previous))

    def chunks(self) -> Iterator[Chunk]:
        """The schedule: chunk after chunk, the pairings taking turns (read lazily)."""
        index, start, size = 0, 0, 0
        while start < self.games // 2:
            size = self._next_chunk_pairs(size)
            pairs = range(start, min(start + size, self.games // 2))
            start = pairs.stop
            for pairing in self.pairings:
                # Pairs counted already (an earlier run) are not played again; a pair cut in
                # half is played whole, its first game counted once.
                done = self._restored_pairs.get(pairing.index, 0)
                if pairs.stop <= done:
                    continue
                todo = range(max(pairs.start, done), pairs.stop)
                openings = tuple(self.openings[pair % len(self.openings)] for pair in todo)
                commands = (self.programs[pairing.first].command, self.programs[pairing.second].command)
                yield Chunk(
                    index=index,
                    first_game=pairing.first_game + 2 * todo.start,
                    pairing=pairing.index,
                    commands=commands,
                    openings=openings,
                    time_limit=self.time_limit,
                    concurrency=self.concurrency,
                    forfeit=self.forfeit,
                    adjudicate_empties=self.adjudicate_empties,
                )
                index += 1

    def run(
        self,
        executor: Executor,
        on_game: Callable[[Pairing, GameResult], None] | None = None,
        on_update: Callable[[Match], None] | None = None,
        on_counted: Callable[[Pairing, GameResult], None] | None = None,
    ) -> None:
        """Plays the match on `executor` until every game is in or the SPRT decides.

        `on_game` sees every game just before it is counted (in game order within its
        pairing; a game for which it raises is not counted), `on_counted` just after, and
        `on_update` the match after each chunk. The match keeps whatever was counted when
        the executor raises; the caller reports it.
        """
        self._started = self._clock()
        results = executor.run(self.chunks())
        try:
            for chunk, chunk_results in results:
                pairing = self.pairings[chunk.pairing]
                pairing.accept(chunk_results)
                for result in pairing.release():
                    if on_game:
                        on_game(pairing, result)  # what it raises leaves the game uncounted
                    ends_pair = pairing.count(result)
                    if on_counted:
                        on_counted(pairing, result)
                    if ends_pair and self.sprt:
                        self.sprt_state = self.sprt.state(pairing.tally.pentanomial)
                        if self.sprt_state.decision:
                            break
                if on_update:
                    on_update(self)
                if self.decided:
                    executor.cancel()
                    break
        finally:
            close = getattr(results, "close", None)
            if close:
                close()
