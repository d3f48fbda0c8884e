"""NBoard adapter cost per move: a native first-move player (bench/players/first_move_player.cpp)
against the adapter running a native first-move NBoard engine of the same speed
(bench/players/first_move_nboard.cpp), both asked for the moves of the same games by one loop
that writes a board line and blocks reading the answer, as an arena's player does. Start-up
is outside the timing; the difference per move is what the adapter costs.

Usage: python bench/nboard_adapter.py [--games N] [--rounds R]
"""

import argparse
import statistics
import subprocess
import sys
import time
from pathlib import Path

import veltrix
from veltrix_match.nboard import adapter_command

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench-nboard"


def compile_players() -> tuple[Path, Path]:
    """Builds the two native players with g++ (again only when a source changed)."""
    BUILD.mkdir(parents=True, exist_ok=True)
    built = []
    for name in ("first_move_player", "first_move_nboard"):
        sources = [ROOT / f"bench/players/{name}.cpp", ROOT / "src/board/core.cpp", ROOT / "src/board/dispatch.cpp"]
        binary = BUILD / name
        if not binary.exists() or any(s.stat().st_mtime > binary.stat().st_mtime for s in sources):
            subprocess.run(["g++", "-std=c++20", "-O2", "-mpopcnt", f"-I{ROOT / 'src'}", *map(str, sources),
                            "-o", str(binary)], check=True)
        built.append(binary)
    return built[0], built[1]


def game_lines() -> list[tuple[int, bytes, bytes]]:
    """(side, board line, answer) of every move of the game two first-move players play."""
    board, lines = veltrix.Board(), []
    while not board.is_game_over():
        if board.is_pass():
            board.do_pass()
            continue
        side = 0 if board.get_board()[2] == veltrix.Turn.BLACK else 1
        move = board.get_legal_moves_vec()[0]
        lines.append((side, (board.get_board_line() + "\n").encode(), b"%d\n" % move))
        board.do_move(move)
    return lines


def seconds_per_move(command: list[str], lines: list[tuple[int, bytes, bytes]], games: int) -> float:
    """One process per colour, as an arena starts them; the loop times the moves only."""
    players = [subprocess.Popen([*command, colour], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
               for colour in ("BLACK", "WHITE")]
    try:
        pipes = [(p.stdin, p.stdout) for p in players]
        for stdin, stdout in pipes:
            stdin.write(b"ping\n")
            assert stdout.readline() == b"pong\n"
        started = time.perf_counter()
        for _ in range(games):
            for side, line, answer in lines:
                stdin, stdout = pipes[side]
                stdin.write(line)
                if stdout.readline() != answer:
                    raise SystemExit(f"{command[0]} answered a move other than the first legal one")
        return (time.perf_counter() - started) / (games * len(lines))
    finally:
        for p in players:
            p.stdin.close()
            p.wait(timeout=10)
            p.stdout.close()


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--games", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    native, engine = compile_players()
    lines = game_lines()
    plain, adapted = [], []
    for _ in range(args.rounds):
        plain.append(seconds_per_move([str(native)], lines, args.games))
        adapted.append(seconds_per_move(adapter_command(str(engine)), lines, args.games))
    p, a = statistics.median(plain), statistics.median(adapted)
    print(f"{args.games} games of {len(lines)} moves, median of {args.rounds} rounds", file=sys.stderr)
    print(f"native line-protocol player:   {p * 1e6:8.1f} us/move")
    print(f"through veltrix-nboard:        {a * 1e6:8.1f} us/move")
    print(f"adapter cost per move: {(a - p) * 1e3:.3f} ms ({a / p:.1f}x the native player's move)")


if __name__ == "__main__":
    main()
