"""veltrix-match overhead: time per game of a match run by the veltrix_match driver against
the same games played by one Arena.play call, measured side by side in one run.

Three ways to play the same n games (same programs, same openings, concurrency 2):
- play:   one Arena.play(n) call, nothing else (the floor);
- driver: veltrix_match's Match over the LocalExecutor (chunks sized as the command sizes
          them, each one restarting the programs), every game written to a JSONL file;
- cli:    the veltrix-match command as a child process (interpreter start, built-in openings,
          report), for the whole picture.
Workloads: the bundled search player against the random player, at a depth where games take
about a millisecond (start-up costs dominate) and at one where they take tens of them.

Each way is timed by wall clock and by CPU time (this process and every child it reaped, the
player programs included): on a shared machine the CPU time is the steadier figure.

Usage: python bench/match_overhead.py [--rounds R] [--quick] [--workload DEPTH:GAMES ...]
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import veltrix
from veltrix_match import LocalExecutor, Match, Program, builtin_openings

ROOT = Path(__file__).resolve().parent.parent
PLAYERS = ROOT / "examples" / "players"


def commands(depth: int) -> tuple[list[str], list[str]]:
    return ([sys.executable, str(PLAYERS / "search_player.py"), str(depth)],
            [sys.executable, str(PLAYERS / "random_player.py")])


def cpu_seconds() -> tuple[float, float]:
    """User and system time of this process, and of it with its reaped children, so far."""
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    mine = own.ru_utime + own.ru_stime
    return mine, mine + children.ru_utime + children.ru_stime


def measured(way, *args) -> dict[str, float]:
    """Wall seconds, CPU seconds of everything, CPU seconds of this process, of one call."""
    wall, (mine, everything) = time.perf_counter(), cpu_seconds()
    way(*args)
    mine_after, everything_after = cpu_seconds()
    return {"wall": time.perf_counter() - wall, "cpu": everything_after - everything, "self": mine_after - mine}


CHUNKS: list[int] = []  # chunks of each driver run: one program start-up each


class CountingExecutor(LocalExecutor):
    """The local executor, counting the chunks it plays."""

    def __init__(self) -> None:
        super().__init__()
        self.chunks = 0

    def run(self, chunks):
        for finished in super().run(chunks):
            self.chunks += 1
            yield finished


def run_play(depth: int, games: int, openings: list[str]) -> None:
    veltrix.Arena(*commands(depth)).play(games, openings=openings[: games // 2], concurrency=2, progress=False)


def run_driver(depth: int, games: int, openings: list[str]) -> None:
    first, second = commands(depth)
    with tempfile.TemporaryFile("w") as out:
        def on_game(pairing, result):
            out.write(json.dumps(result) + "\n")
            out.flush()

        match = Match([Program("search", first), Program("random", second)], games, openings, concurrency=2)
        executor = CountingExecutor()
        match.run(executor, on_game)
        CHUNKS.append(executor.chunks)


def run_cli(depth: int, games: int, openings: list[str]) -> None:
    first, second = commands(depth)
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "games.jsonl")
        subprocess.run([sys.executable, "-m", "veltrix_match", " ".join(first), " ".join(second),
                        "--games", str(games), "--seed", "1", "--out", out],
                       check=True, stdout=subprocess.DEVNULL)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="fewer games (a smoke run)")
    parser.add_argument("--workload", action="append", metavar="DEPTH:GAMES",
                        help="search depth and game count of a workload (repeatable)")
    args = parser.parse_args()
    openings = builtin_openings(1)
    workloads = [(3, 200 if args.quick else 10000), (6, 40 if args.quick else 400)]
    if args.workload:
        workloads = [(int(depth), int(games)) for depth, games in (w.split(":") for w in args.workload)]
    ways = {"play": run_play, "driver": run_driver, "cli": run_cli}
    for depth, games in workloads:
        figures: dict[str, list[dict[str, float]]] = {name: [] for name in ways}
        CHUNKS.clear()
        for round_ in range(args.rounds):
            # Rotate the order so that drifts in the machine's load fall on every way alike.
            names = list(ways)[round_ % 3:] + list(ways)[: round_ % 3]
            for name in names:
                figures[name].append(measured(ways[name], depth, games, openings))
        print(f"search depth {depth} vs random, {games} games, concurrency 2, {args.rounds} rounds "
              f"(medians; the driver used {statistics.median(CHUNKS):g} chunks):")
        for label in ("wall", "cpu", "self"):
            floor = statistics.median(run[label] for run in figures["play"])
            for name in ways:
                if label == "self" and name == "cli":
                    continue  # the command runs in a child process
                times = [run[label] for run in figures[name]]
                median = statistics.median(times)
                print(f"  {label:4} {name:6} {median:7.3f} s  {1000 * median / games:7.3f} ms/game"
                      f"  {100 * (median / floor - 1):+6.1f}% ({1000 * (median - floor) / games:+.3f} ms/game)"
                      f"  [{' '.join(f'{t:.2f}' for t in times)}]")


if __name__ == "__main__":
    main()
