"""veltrix-match on a Ray cluster against one machine: games per second of one fixed match.

The same match (two paced players whose games last about --game-ms milliseconds, concurrency
2, forfeits on) is played in one run, in alternating rounds, by:
  arena      one Arena.play of every game (the single-machine runner, no driver);
  local      the veltrix-match driver on this machine (LocalExecutor, its default chunks);
  ray ...    the driver on a local Ray cluster (RayExecutor), with the adaptive chunking
             aiming at --target seconds per task, and with chunks held at one pair per task
             (what chunking saves).
It prints the median games/s of each and its ratio to `arena`, then the figures that scaling
to more nodes depends on: the time a task costs beyond its games, and the driver's own CPU
time per task and per game.

Usage: python bench/cluster_bench.py [--games N] [--rounds R] [--game-ms MS] [--target S]
Needs Ray (pip install 'veltrix[cluster]').
"""

import argparse
import logging
import os
import statistics
import sys
import time
from pathlib import Path

import veltrix
from veltrix_match import LocalExecutor, Match, Program

ROOT = Path(__file__).resolve().parent.parent
OPENINGS = ["f5", "d3", "c4", "e6", "f5d6", "f5f6", "f5f4", "d3c5"]


def paced(ms: float) -> list[str]:
    return [sys.executable, str(ROOT / "bench/players/paced_player.py"), f"{ms:g}"]


def play_arena(games: int, ms: float) -> tuple[float, float]:
    arena = veltrix.Arena(paced(ms), paced(ms))
    openings = [OPENINGS[pair % len(OPENINGS)] for pair in range(games // 2)]
    started, cpu = time.monotonic(), time.process_time()
    arena.play(games, openings=openings, concurrency=2, on_error="forfeit", progress=False)
    return time.monotonic() - started, time.process_time() - cpu


def play_match(executor: object, games: int, ms: float) -> tuple[float, float]:
    match = Match([Program("a", paced(ms)), Program("b", paced(ms))], games, OPENINGS,
                  concurrency=2, forfeit=True)
    started, cpu = time.monotonic(), time.process_time()
    match.run(executor)  # type: ignore[arg-type]
    elapsed = time.monotonic() - started
    assert match.played == games, f"{match.played} of {games} games came back"
    return elapsed, time.process_time() - cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--game-ms", type=float, default=100.0, help="about how long a game lasts")
    parser.add_argument("--target", type=float, default=3.0, help="seconds per task the chunking aims at")
    args = parser.parse_args()
    # About 60 moves a game, half by each side, each after the player's pause.
    ms = args.game_ms / 60

    os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    import ray

    from veltrix_match.cluster import RayExecutor

    started = time.monotonic()
    ray.init(num_cpus=2, include_dashboard=False, logging_level=logging.WARNING)
    print(f"local Ray cluster started in {time.monotonic() - started:.1f} s; "
          f"{args.games} games of ~{args.game_ms:g} ms, concurrency 2, {args.rounds} rounds", flush=True)

    executors = {
        f"ray adaptive ({args.target:g} s)": lambda: RayExecutor(target_seconds=args.target),
        "ray one pair per task": lambda: RayExecutor(target_seconds=1e-9),
    }
    times: dict[str, list[float]] = {"arena": [], "local": [], **{name: [] for name in executors}}
    driver_cpu: dict[str, list[float]] = {name: [] for name in times}
    tasks: dict[str, list[int]] = {name: [] for name in executors}
    # A first task on each fresh worker process pays for its imports: warm them first.
    play_match(RayExecutor(target_seconds=1e-9), 8, ms)
    for _ in range(args.rounds):
        elapsed, cpu = play_arena(args.games, ms)
        times["arena"].append(elapsed)
        driver_cpu["arena"].append(cpu)
        elapsed, cpu = play_match(LocalExecutor(), args.games, ms)
        times["local"].append(elapsed)
        driver_cpu["local"].append(cpu)
        for name, make in executors.items():
            executor = make()
            elapsed, cpu = play_match(executor, args.games, ms)
            times[name].append(elapsed)
            driver_cpu[name].append(cpu)
            tasks[name].append(executor.tasks_played)
    ray.shutdown()

    base = statistics.median(times["arena"])
    print(f"\n{'runner':28} {'games/s':>8} {'vs arena':>9} {'tasks':>6} {'driver CPU':>11}")
    for name, samples in times.items():
        median = statistics.median(samples)
        task_count = statistics.median(tasks[name]) if name in tasks else "-"
        cpu = statistics.median(driver_cpu[name])
        print(f"{name:28} {args.games / median:8.2f} {base / median:8.1%} {task_count!s:>6} {cpu:10.2f}s")

    # What a task costs beyond its games, from the run with one pair per task: every task
    # plays one round (two games at once), so the rest of its wall time is overhead.
    single = statistics.median(times["ray one pair per task"])
    single_tasks = statistics.median(tasks["ray one pair per task"])
    per_round = base / (args.games / 2)
    overhead = (single - single_tasks * per_round) / single_tasks
    print(f"\none round of two games (arena): {per_round * 1000:.0f} ms")
    print(f"cost of a task beyond its games (one pair per task, one task at a time): {overhead * 1000:.0f} ms")
    cpu_per_task = statistics.median(driver_cpu["ray one pair per task"]) / single_tasks
    cpu_per_game = statistics.median(driver_cpu[next(iter(executors))]) / args.games
    print(f"driver CPU per task (Ray calls, reassembly): {cpu_per_task * 1000:.1f} ms; "
          f"per game with adaptive tasks: {cpu_per_game * 1000:.2f} ms")


if __name__ == "__main__":
    main()
