"""What the player benchmarks share: building their native programs, the one game two
first-move players play, timing a local Arena, and the --games/--rounds options."""

import argparse
import subprocess
import tempfile
import time
from collections.abc import Sequence
from pathlib import Path

import veltrix

ROOT = Path(__file__).resolve().parent.parent
# The flags of a program built against the engine's board code.
NATIVE_FLAGS = ("-O2", "-mpopcnt", f"-I{ROOT / 'src'}")
# The header every native bench player includes (a change to it rebuilds them).
PLAYER_HEADER = ROOT / "bench/players/line_player.hpp"


def build_program(build: Path, name: str, sources: Sequence[Path], flags: Sequence[str] = NATIVE_FLAGS,
                  depends: Sequence[Path] = ()) -> Path:
    """Builds `build/name` from `sources` with g++, again only when a source or one of the
    headers in `depends` is newer than the program."""
    build.mkdir(parents=True, exist_ok=True)
    binary = build / name
    inputs = [*sources, *depends]
    if not binary.exists() or any(s.stat().st_mtime > binary.stat().st_mtime for s in inputs):
        subprocess.run(["g++", "-std=c++20", *flags, *map(str, sources), "-o", str(binary)], check=True)
    return binary


def first_move_game() -> list[tuple[veltrix.Turn, str, int]]:
    """(side to move, board line, move) of every move of the game two players play that both
    answer their first legal move (passes left out): with such players every game is this one."""
    board, moves = veltrix.Board(), []
    while not board.is_game_over():
        if board.is_pass():
            board.do_pass()
            continue
        move = board.get_legal_moves_vec()[0]
        moves.append((board.get_board()[2], board.get_board_line(), move))
        board.do_move(move)
    return moves


def moves_per_game() -> int:
    return len(first_move_game())


def arena_games_per_second(player: Path, games: int) -> float:
    """Games per second of Arena.play_n with `player` on both sides."""
    arena = veltrix.Arena([str(player)], [str(player)])
    started = time.perf_counter()
    arena.play_n(games)
    seconds = time.perf_counter() - started
    assert sum(arena.get_stats()) == games
    return games / seconds


def games_and_rounds(games: int, rounds: int = 5) -> argparse.Namespace:
    """The command line of a bench that plays `--games` games in each of `--rounds` rounds."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--games", type=int, default=games)
    parser.add_argument("--rounds", type=int, default=rounds)
    return parser.parse_args()


def callgrind_instructions(command: Sequence[str], stdin: str = "") -> int:
    """Instructions run by `command`'s own process under callgrind.

    A process it forks without exec (the arena's watchdog, a player before its exec) goes on
    under callgrind and writes a count of its own, which would overwrite a single output file
    as it exits last: each process gets its file, and only the launched one's is read.
    """
    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as folder:
        process = subprocess.Popen(["valgrind", "--tool=callgrind", f"--callgrind-out-file={folder}/callgrind.%p",
                                    *command], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, text=True)
        process.communicate(stdin, timeout=3600)
        if process.returncode != 0:
            raise subprocess.CalledProcessError(process.returncode, list(command))
        for line in (Path(folder) / f"callgrind.{process.pid}").read_text(errors="replace").splitlines():
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError("callgrind wrote no total")
