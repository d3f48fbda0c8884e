"""WTHOR reading: games per second of read_wthor (every game replayed on a Board) on a file of
random complete games, beside the raw parse alone (the same loop without the replay).

Usage: python bench/wthor_read.py [--games N] [--rounds R]
"""

import argparse
import random
import statistics
import struct
import tempfile
import time
from pathlib import Path

import veltrix
from veltrix_match.records import Game, read_wthor, write_wthor


def random_game(rng: random.Random) -> Game:
    board, moves = veltrix.Board(), []
    while not board.is_game_over():
        if board.is_pass():
            board.do_pass()
            continue
        move = rng.choice(board.get_legal_moves_vec())
        board.do_move(move)
        moves.append(veltrix.Board.square_name(move))
    return Game("".join(moves), board.black_piece_num(), board.white_piece_num())


def raw_parse(path: Path) -> int:
    """Unpacks every game record, no replay: the floor under read_wthor."""
    data = path.read_bytes()
    return sum(1 for _ in struct.iter_unpack("<HHHBB60s", data[16:]))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--games", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    rng = random.Random(1)
    distinct = [random_game(rng) for _ in range(2000)]
    games = [distinct[i % len(distinct)] for i in range(args.games)]
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "bench.wtb"
        write_wthor(path, games)
        timings: dict[str, list[float]] = {"read_wthor": [], "raw unpack": []}
        for _ in range(args.rounds):
            started = time.perf_counter()
            assert len(read_wthor(path)) == args.games
            timings["read_wthor"].append(time.perf_counter() - started)
            started = time.perf_counter()
            raw_parse(path)
            timings["raw unpack"].append(time.perf_counter() - started)
    medians = {name: statistics.median(values) for name, values in timings.items()}
    for name, seconds in medians.items():
        print(f"{name:>12}: {args.games / seconds:>12,.0f} games/s (median of {args.rounds}, {seconds:.3f} s)")
    print(f"read_wthor takes {medians['read_wthor'] / medians['raw unpack']:.1f}x the raw unpack")


if __name__ == "__main__":
    main()
