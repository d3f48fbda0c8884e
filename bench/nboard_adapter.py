"""NBoard adapter cost per move: a native first-move player (bench/players/first_move_player.cpp)
against the adapter running a native first-move NBoard engine of the same speed
(bench/players/first_move_nboard.cpp), both asked for the moves of the same games by one loop
that writes a board line and blocks reading the answer, as an arena's player does. Start-up
is outside the timing; the difference per move is what the adapter costs.

Usage: python bench/nboard_adapter.py [--games N] [--rounds R]
"""

import statistics
import subprocess
import sys
import time
from pathlib import Path

import veltrix
from veltrix_match.nboard import adapter_command

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import PLAYER_HEADER, ROOT, build_program, first_move_game, games_and_rounds  # noqa: E402

BUILD = ROOT / "build" / "bench-nboard"


def compile_players() -> tuple[Path, Path]:
    """Builds the two native players (again only when a source changed)."""
    board = [ROOT / "src/board/core.cpp", ROOT / "src/board/dispatch.cpp"]
    native, engine = (build_program(BUILD, name, [ROOT / f"bench/players/{name}.cpp", *board], depends=[PLAYER_HEADER])
                      for name in ("first_move_player", "first_move_nboard"))
    return native, engine


def game_lines() -> list[tuple[int, bytes, bytes]]:
    """(side, board line, answer) of every move of the game two first-move players play."""
    return [(0 if side == veltrix.Turn.BLACK else 1, (line + "\n").encode(), b"%d\n" % move)
            for side, line, move in first_move_game()]


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
    args = games_and_rounds(200)
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
