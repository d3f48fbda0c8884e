"""Arena throughput: moves per second of Arena.play_n between two fast native players, against
the raw limit measured in the same run (the same players driven by a single-threaded loop that
writes a board line and blocks reading the answer, no threads).

Usage: python bench/arena_throughput.py [--games N] [--rounds R]
"""

import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import (PLAYER_HEADER, ROOT, arena_games_per_second, build_program,  # noqa: E402
                    games_and_rounds, moves_per_game)

BUILD = ROOT / "build" / "bench-arena"


def compile_programs() -> tuple[Path, Path]:
    """Builds the fast player and the raw loop (again only when a source changed)."""
    player = build_program(BUILD, "first_move_player", [ROOT / "bench/players/first_move_player.cpp"],
                           depends=[PLAYER_HEADER])
    loop = build_program(BUILD, "raw_pipe_loop",
                         [ROOT / "bench/native/raw_pipe_loop.cpp", ROOT / "src/board/core.cpp",
                          ROOT / "src/board/dispatch.cpp", ROOT / "src/board/text.cpp",
                          ROOT / "src/arena/io/process.cpp", ROOT / "src/arena/io/watchdog.cpp"])
    return player, loop


def raw_rate(loop: Path, player: Path, games: int, loops: int) -> float:
    """Moves per second of `loops` raw loops running side by side, `games` games in all."""
    procs = [subprocess.Popen([str(loop), str(games // loops), str(player)], stdout=subprocess.PIPE, text=True)
             for _ in range(loops)]
    started = time.perf_counter()
    outputs = [p.communicate()[0].split() for p in procs]
    wall = time.perf_counter() - started
    if any(p.returncode != 0 for p in procs):
        raise SystemExit("the raw loop failed")
    moves = sum(int(moves) for moves, _ in outputs)
    return moves / max(float(seconds) for _, seconds in outputs) if wall > 0 else 0.0


def main() -> None:
    args = games_and_rounds(2000)
    player, loop = compile_programs()
    per_game = moves_per_game()
    raw1, raw2, arena = [], [], []
    for _ in range(args.rounds):
        raw1.append(raw_rate(loop, player, args.games, 1))
        raw2.append(raw_rate(loop, player, args.games, 2))
        arena.append(arena_games_per_second(player, args.games) * per_game)
    r1, r2, a = statistics.median(raw1), statistics.median(raw2), statistics.median(arena)
    print(f"{args.games} games of {per_game} moves, median of {args.rounds} rounds", file=sys.stderr)
    print(f"raw loop, one pair, one thread:      {r1:12,.0f} moves/s  {1e6 / r1:6.2f} us/move")
    print(f"raw loops, two pairs side by side:   {r2:12,.0f} moves/s  {1e6 / r2:6.2f} us/move")
    print(f"Arena.play_n, two pairs, two workers:{a:12,.0f} moves/s  {1e6 / a:6.2f} us/move")
    print(f"arena cost per move / raw (same parallelism): {r2 / a:.2f}x; / raw single loop: {r1 / a:.2f}x")


if __name__ == "__main__":
    main()
