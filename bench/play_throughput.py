"""Arena.play throughput: moves per second between two fast native players, against Arena.play_n
in the same run (rounds interleaved, medians), and for Arena.play at several concurrencies;
"watched" is Arena.play_adjudicated(n, None, on_progress=f) at concurrency 2, the calling
thread woken to call f as games finish (what veltrix-match's progress line on a terminal costs).

Wall time on a shared machine is noisy, so the arena process's own processor time per move is
shown beside it (all its threads; the player programs excluded), and --callgrind counts the
arena process's instructions per move instead (valgrind; the same cases, one run each, with
the count of a batch of no games taken off).

Usage: python bench/play_throughput.py [--games N] [--rounds R] [--concurrency 2 4 8] [--callgrind]
"""

import argparse
import resource
import statistics
import sys
import time

import veltrix

from arena_throughput import compile_programs, moves_per_game
from common import callgrind_instructions


def timed(call) -> tuple[float, float]:
    """Wall seconds and this process's processor seconds (every thread) of one call."""
    before = resource.getrusage(resource.RUSAGE_SELF)
    started = time.perf_counter()
    call()
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_SELF)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


CASE = """
import sys, veltrix
command, games, case = [sys.argv[1]], int(sys.argv[2]), sys.argv[3]
arena = veltrix.Arena(command, command)
if case == "play_n":
    arena.play_n(games)
elif case == "watched":
    arena.play_adjudicated(games, None, progress=False, on_progress=lambda finished: None)
else:
    arena.play(games, concurrency=int(case), progress=False)
assert sum(arena.get_stats()) == games
"""


def instructions(player: str, games: int, case: str) -> int:
    """Instructions the arena process executes (all threads) for one batch, under callgrind."""
    return callgrind_instructions([sys.executable, "-c", CASE, player, str(games), case])


def callgrind_table(player: str, games: int, per_game: int, concurrencies: list[int]) -> None:
    moves = games * per_game
    print(f"callgrind: instructions of the arena process per move ({games} games of {per_game} moves,"
          f" less a batch of none)")
    base = None
    for case in ["play_n", *map(str, concurrencies), "watched"]:
        per_move = (instructions(player, games, case) - instructions(player, 0, case)) / moves
        base = per_move if base is None else base
        name = case if not case.isdigit() else f"play c={case}"
        print(f"{name:16}{per_move:12,.0f} instr/move  {per_move / base:6.3f}x play_n")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--games", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--concurrency", type=int, nargs="+", default=[2, 4, 8])
    parser.add_argument("--callgrind", action="store_true")
    args = parser.parse_args()
    player, _ = compile_programs()
    command = [str(player)]
    per_game = moves_per_game()
    moves = args.games * per_game
    if args.callgrind:
        callgrind_table(str(player), args.games, per_game, args.concurrency)
        return

    def play_n() -> None:
        arena = veltrix.Arena(command, command)
        arena.play_n(args.games)
        assert sum(arena.get_stats()) == args.games

    def play(concurrency: int, progress: bool = False) -> None:
        arena = veltrix.Arena(command, command)
        records = arena.play(args.games, concurrency=concurrency, progress=progress)
        assert len(records) == args.games and all(r.error is None for r in records)

    def watched() -> None:
        told = []
        arena = veltrix.Arena(command, command)
        records = arena.play_adjudicated(args.games, None, progress=False, on_progress=told.append)
        assert len(records) == args.games and told[-1] == args.games

    cases = {"play_n": play_n, "play c=2 bar": lambda: play(2, True)}
    for c in args.concurrency:
        cases[f"play c={c}"] = lambda c=c: play(c)
    cases["watched c=2"] = watched
    walls = {name: [] for name in cases}
    cpus = {name: [] for name in cases}
    for _ in range(args.rounds):
        for name, call in cases.items():
            wall, cpu = timed(call)
            walls[name].append(wall)
            cpus[name].append(cpu)
    wall = {name: statistics.median(values) for name, values in walls.items()}
    cpu = {name: statistics.median(values) for name, values in cpus.items()}
    print(f"{args.games} games of {per_game} moves, median of {args.rounds} interleaved rounds", file=sys.stderr)
    print(f"{'':16}{'moves/s':>12}{'wall us/move':>14}{'vs play_n':>11}{'arena cpu us/move':>19}{'vs play_n':>11}")
    for name in cases:
        print(f"{name:16}{moves / wall[name]:12,.0f}{1e6 * wall[name] / moves:14.2f}{wall['play_n'] / wall[name]:10.3f}x"
              f"{1e6 * cpu[name] / moves:19.2f}{cpu['play_n'] / cpu[name]:10.3f}x")


if __name__ == "__main__":
    main()
