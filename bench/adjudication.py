"""Exact adjudication: the time a match saves with --adjudicate-empties, and that it changes
no result when both programs play their endgames perfectly.

Two copies of tests/players/endgame_player.py (a shallow search in the middle game, an exact
solve from SOLVE empty squares on) play the same games twice in one run: played out by the
programs, and adjudicated by the arena's own solver from EMPTIES empty squares (EMPTIES <=
SOLVE, so the programs would have played those endgames perfectly too). Printed: wall and CPU
time of each (this process and the programs), the saving, and how many games agree (winner
and final discs; they should all agree, move for move).

--think-ms T makes each program wait T ms before every move, as a program that uses its
clock does: what adjudication saves is then the endgame moves' time, against the solve's.
With --solve 0 the programs never solve (the depth-2 search plays to the end): the time a
match of ordinary programs saves, whose adjudicated results are then perfect play's rather
than theirs (so they need not agree).

Usage: python bench/adjudication.py [--games 1000] [--empties 14] [--solve 16] [--rounds 1]
"""

import argparse
import resource
import statistics
import sys
import time
from pathlib import Path

import veltrix
from veltrix_match import builtin_openings

ROOT = Path(__file__).resolve().parent.parent
PLAYER = ROOT / "tests" / "players" / "endgame_player.py"


def cpu_seconds() -> float:
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def play(games: int, solve: int, empties: int | None, concurrency: int, think: int) -> tuple[float, float, list]:
    command = [sys.executable, str(PLAYER), str(solve), "2", str(think)]
    arena = veltrix.Arena(command, command)
    openings = builtin_openings(1)[: games // 2]
    wall, cpu = time.perf_counter(), cpu_seconds()
    if empties is None:
        records = arena.play(games, openings=openings, time_limit=60.0, concurrency=concurrency, progress=False)
    else:
        records = arena.play_adjudicated(games, empties, openings=openings, time_limit=60.0,
                                         concurrency=concurrency, progress=False)
    return time.perf_counter() - wall, cpu_seconds() - cpu, records


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=1000)
    parser.add_argument("--empties", type=int, default=14)
    parser.add_argument("--solve", type=int, default=16)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--concurrency", type=int, default=2)
    parser.add_argument("--think-ms", type=int, default=0, help="each program waits this long before every move")
    args = parser.parse_args()
    figures: dict[str, list[tuple[float, float]]] = {"played out": [], "adjudicated": []}
    agree = total = 0
    for round_ in range(args.rounds):
        order = [None, args.empties] if round_ % 2 == 0 else [args.empties, None]
        results = {}
        for empties in order:
            wall, cpu, records = play(args.games, args.solve, empties, args.concurrency, args.think_ms)
            name = "played out" if empties is None else "adjudicated"
            figures[name].append((wall, cpu))
            results[name] = records
        for out, judged in zip(results["played out"], results["adjudicated"]):
            total += 1
            agree += (out.winner, out.black_discs, out.white_discs, out.moves) == \
                     (judged.winner, judged.black_discs, judged.white_discs, judged.moves)
        adjudicated = sum(record.adjudicated_ply is not None for record in results["adjudicated"])
    print(f"{args.games} games, endgame players (depth 2, exact from {args.solve} empties, "
          f"{args.think_ms} ms a move), concurrency {args.concurrency}, adjudicated from {args.empties} empties, {args.rounds} round(s):")
    base_wall = statistics.median(wall for wall, _ in figures["played out"])
    base_cpu = statistics.median(cpu for _, cpu in figures["played out"])
    for name, runs in figures.items():
        wall = statistics.median(w for w, _ in runs)
        cpu = statistics.median(c for _, c in runs)
        print(f"  {name:11}  wall {wall:8.2f} s ({1000 * wall / args.games:7.2f} ms/game, {100 * (wall / base_wall - 1):+6.1f}%)"
              f"  cpu {cpu:8.2f} s ({100 * (cpu / base_cpu - 1):+6.1f}%)")
    print(f"  games adjudicated in the last round: {adjudicated} of {args.games}")
    print(f"  results that agree (moves, winner, discs): {agree} of {total}")


if __name__ == "__main__":
    main()
