"""Board as a value in a training loop: exporting planes and pickling, side by side.

1. Filling a preallocated (N, 3, 8, 8) uint8 NumPy batch from N boards, per board:
   write_planes into batch[i], write_planes into row views made once, one get_board() call
   (the target: write_planes <= 2x of it), and np.array(get_board_matrix()) copied into the
   batch (the target: write_planes >= 20x faster).
2. pickle.dumps + pickle.loads of one Board against a 3-tuple of the same ints (target: within
   2x), at the default and the highest protocol, one object per call and lists of 1000;
   datetime.date alongside for the cost of the reduce protocol itself.

Prints medians over repeats, per board or per round trip.
"""

import datetime
import pickle
import random
import statistics
import sys
import time

import numpy as np

import veltrix

REPEATS = 11


def random_boards(count: int) -> list[veltrix.Board]:
    rng = random.Random(1)
    boards = []
    while len(boards) < count:
        board = veltrix.Board()
        for _ in range(rng.randrange(60)):
            if board.is_game_over():
                break
            if board.is_pass():
                board.do_pass()
            else:
                board.do_move(rng.choice(board.get_legal_moves_vec()))
        boards.append(board)
    return boards


def median_per_item(run, items: int) -> float:
    """Median over REPEATS runs of run(), in nanoseconds per item."""
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter_ns()
        run()
        times.append(time.perf_counter_ns() - start)
    return statistics.median(times) / items


def bench_planes(n: int) -> None:
    boards = random_boards(n)
    batch = np.zeros((n, 3, 8, 8), np.uint8)
    rows = list(batch)  # views made once, reused for every batch

    def write_indexed():
        for i, board in enumerate(boards):
            board.write_planes(batch[i])

    def write_rows():
        for board, row in zip(boards, rows):
            board.write_planes(row)

    def get_board():
        for i, board in enumerate(boards):
            board.get_board()

    def matrix_array():
        for i, board in enumerate(boards):
            batch[i] = np.array(board.get_board_matrix())

    results = {}
    for label, run in [("write_planes(batch[i])", write_indexed), ("write_planes(rows[i]), rows = list(batch)",
                                                                    write_rows),
                       ("get_board() (one call, reference)", get_board),
                       ("batch[i] = np.array(get_board_matrix())", matrix_array)]:
        results[label] = median_per_item(run, n)
    expected = np.array([b.get_board_matrix() for b in boards], np.uint8)
    write_indexed()
    assert np.array_equal(batch, expected), "write_planes disagrees with get_board_matrix"

    base = results["get_board() (one call, reference)"]
    slow = results["batch[i] = np.array(get_board_matrix())"]
    print(f"Filling a ({n}, 3, 8, 8) uint8 batch, per board (median of {REPEATS}):")
    for label, ns in results.items():
        print(f"  {label:42s} {ns:8.1f} ns  {ns / base:5.2f}x get_board  {slow / ns:6.1f}x faster than np.array")


def bench_pickle(count: int) -> None:
    board = random_boards(1)[0]
    player, opponent, turn = board.get_board()
    triple = (player, opponent, 0 if turn == veltrix.Turn.BLACK else 1)
    # Context: a C type of the standard library that pickles through the same reduce protocol.
    date = datetime.date(2026, 12, 8)
    boards = random_boards(1000)
    triples = [(p, o, 0 if t == veltrix.Turn.BLACK else 1) for p, o, t in (b.get_board() for b in boards)]
    print(f"pickle.dumps + pickle.loads, per object (median of {REPEATS}):")
    for protocol in sorted({pickle.DEFAULT_PROTOCOL, pickle.HIGHEST_PROTOCOL}):
        def round_trips(value, times, protocol=protocol):
            dumps, loads = pickle.dumps, pickle.loads
            return lambda: [loads(dumps(value, protocol)) for _ in range(times)]
        board_ns = median_per_item(round_trips(board, count), count)
        triple_ns = median_per_item(round_trips(triple, count), count)
        date_ns = median_per_item(round_trips(date, count), count)
        print(f"  protocol {protocol}, one object:  Board {board_ns:7.1f} ns ({len(pickle.dumps(board, protocol))} B), "
              f"3-tuple of ints {triple_ns:7.1f} ns ({len(pickle.dumps(triple, protocol))} B), "
              f"ratio {board_ns / triple_ns:4.2f}x; datetime.date {date_ns:7.1f} ns")
        many = count // 1000
        board_ns = median_per_item(round_trips(boards, many), many * 1000)
        triple_ns = median_per_item(round_trips(triples, many), many * 1000)
        print(f"  protocol {protocol}, lists of 1000: Board {board_ns:7.1f} ns, 3-tuple of ints {triple_ns:7.1f} ns, "
              f"ratio {board_ns / triple_ns:4.2f}x")


def main() -> None:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 4096
    print(f"Python {sys.version.split()[0]}, NumPy {np.__version__}")
    bench_planes(n)
    bench_pickle(20_000)


if __name__ == "__main__":
    main()
