"""Arena throughput: moves per second of Arena.play_n between two fast native players, against
the raw limit measured in the same run (the same players driven by a single-threaded loop that
writes a board line and blocks reading the answer, no threads).

Usage: python bench/arena_throughput.py [--games N] [--rounds R]
"""

import argparse
import statistics
import subprocess
import sys
import time
from pathlib import Path

import veltrix

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench-arena"


def compile_programs() -> tuple[Path, Path]:
    """Builds the fast player and the raw loop with g++ (again only when a source changed)."""
    BUILD.mkdir(parents=True, exist_ok=True)
    targets = {
        "first_move_player": [ROOT / "bench/players/first_move_player.cpp"],
        "raw_pipe_loop": [ROOT / "bench/native/raw_pipe_loop.cpp", ROOT / "src/board/core.cpp",
                          ROOT / "src/board/dispatch.cpp",
                          ROOT / "src/board/text.cpp", ROOT / "src/arena/io/process.cpp",
                          ROOT / "src/arena/io/watchdog.cpp"],
    }
    built = []
    for name, sources in targets.items():
        binary = BUILD / name
        if not binary.exists() or any(s.stat().st_mtime > binary.stat().st_mtime for s in sources):
            subprocess.run(["g++", "-std=c++20", "-O2", "-mpopcnt", f"-I{ROOT / 'src'}", *map(str, sources),
                            "-o", str(binary)], check=True)
        built.append(binary)
    return built[0], built[1]


def moves_per_game() -> int:
    """Both players answer their first legal move, so every game is the same game."""
    board = veltrix.Board()
    moves = 0
    while not board.is_game_over():
        if board.is_pass():
            board.do_pass()
            continue
        board.do_move(board.get_legal_moves_vec()[0])
        moves += 1
    return moves


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


def arena_rate(player: Path, games: int, per_game: int) -> float:
    arena = veltrix.Arena([str(player)], [str(player)])
    started = time.perf_counter()
    arena.play_n(games)
    seconds = time.perf_counter() - started
    assert sum(arena.get_stats()) == games
    return games * per_game / seconds


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--games", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    player, loop = compile_programs()
    per_game = moves_per_game()
    raw1, raw2, arena = [], [], []
    for _ in range(args.rounds):
        raw1.append(raw_rate(loop, player, args.games, 1))
        raw2.append(raw_rate(loop, player, args.games, 2))
        arena.append(arena_rate(player, args.games, per_game))
    r1, r2, a = statistics.median(raw1), statistics.median(raw2), statistics.median(arena)
    print(f"{args.games} games of {per_game} moves, median of {args.rounds} rounds", file=sys.stderr)
    print(f"raw loop, one pair, one thread:      {r1:12,.0f} moves/s  {1e6 / r1:6.2f} us/move")
    print(f"raw loops, two pairs side by side:   {r2:12,.0f} moves/s  {1e6 / r2:6.2f} us/move")
    print(f"Arena.play_n, two pairs, two workers:{a:12,.0f} moves/s  {1e6 / a:6.2f} us/move")
    print(f"arena cost per move / raw (same parallelism): {r2 / a:.2f}x; / raw single loop: {r1 / a:.2f}x")


if __name__ == "__main__":
    main()
