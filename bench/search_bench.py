"""Cost of a Python-backed evaluator inside AlphaBetaSearch, side by side with a pure-Python
loop that calls the same `evaluate` method the same number of times.

Prints evaluations per second of both and their ratio (median of several repeats, in processor
time of the thread, which a busy machine disturbs less than wall time), then the
time of get_move with the built-in evaluators at a few depths. With "--part search|loop|none
DEPTH" it runs one side once, for instruction counts (see one_part).
"""

import random
import statistics
import sys
import time

import veltrix
from veltrix import AlphaBetaSearch, Board, Evaluator, LegalNumEvaluator, PieceEvaluator

REPEATS = 15


class Zero:
    def evaluate(self, board):
        return 0


class CountingZero:
    def __init__(self):
        self.calls = 0

    def evaluate(self, board):
        self.calls += 1
        return 0


def midgame(seed: int, plies: int) -> Board:
    rng = random.Random(seed)
    board = Board()
    for _ in range(plies):
        moves = board.get_legal_moves_vec()
        if not moves:
            if board.is_game_over():
                break
            board.do_pass()
            continue
        board.do_move(rng.choice(moves))
    return board


def python_evaluator_cost(depth: int) -> None:
    boards = [Board()] + [midgame(seed, 20) for seed in range(3)]
    counter = CountingZero()
    counting = Evaluator()
    counting.set_py_evaluator(counter)
    for board in boards:
        AlphaBetaSearch(counting, depth).get_move(board)
    calls = counter.calls

    evaluator = Evaluator()
    zero = Zero()
    evaluator.set_py_evaluator(zero)
    searches = [AlphaBetaSearch(evaluator, depth) for _ in boards]
    board = Board()
    search_times, loop_times = [], []
    for _ in range(REPEATS):
        start = time.thread_time()
        for search, position in zip(searches, boards):
            search.get_move(position)
        search_times.append(time.thread_time() - start)
        method = zero.evaluate
        start = time.thread_time()
        for _ in range(calls):
            zero.evaluate(board)
        loop_times.append(time.thread_time() - start)
    del method
    search_time, loop_time = statistics.median(search_times), statistics.median(loop_times)
    print(f"Python evaluator returning 0, max_depth {depth}: {calls} evaluations")
    print(f"  inside get_move   {calls / search_time / 1e6:6.2f} M evaluations/s ({search_time * 1e3:7.1f} ms)")
    print(f"  pure-Python loop  {calls / loop_time / 1e6:6.2f} M calls/s       ({loop_time * 1e3:7.1f} ms)")
    print(f"  ratio search / loop: {search_time / loop_time:.2f}x")


def built_in_times() -> None:
    boards = [Board()] + [midgame(seed, 20) for seed in range(3)]
    for name, evaluator in [("PieceEvaluator", PieceEvaluator()), ("LegalNumEvaluator", LegalNumEvaluator())]:
        for depth in (4, 6, 8, 10):
            search = AlphaBetaSearch(evaluator, depth)
            times = []
            for _ in range(3):
                start = time.perf_counter()
                moves = [search.get_move(board) for board in boards]
                times.append(time.perf_counter() - start)
            print(f"  {name:18s} max_depth {depth:2d}: {statistics.median(times) / len(boards) * 1e3:8.2f} ms per move"
                  f"  {moves}")


def one_part(part: str, depth: int) -> None:
    """Runs one side of python_evaluator_cost once, for instruction counts under callgrind:
    (instructions with "search" or "loop") - (instructions with "none"), divided by the
    evaluations printed, is the cost of one evaluation."""
    boards = [Board()] + [midgame(seed, 20) for seed in range(3)]
    counter = CountingZero()
    counting = Evaluator()
    counting.set_py_evaluator(counter)
    for board in boards:
        AlphaBetaSearch(counting, depth).get_move(board)
    evaluator = Evaluator()
    zero = Zero()
    evaluator.set_py_evaluator(zero)
    searches = [AlphaBetaSearch(evaluator, depth) for _ in boards]
    board = Board()
    if part == "search":
        for search, position in zip(searches, boards):
            search.get_move(position)
    elif part == "loop":
        for _ in range(counter.calls):
            zero.evaluate(board)
    print(f"{part}: {counter.calls} evaluations")


def main() -> None:
    if len(sys.argv) == 4 and sys.argv[1] == "--part":
        one_part(sys.argv[2], int(sys.argv[3]))
        return
    print(f"Python {sys.version.split()[0]}, veltrix from {veltrix.__file__}")
    for depth in (3, 5):
        python_evaluator_cost(depth)
    print("get_move with the built-in evaluators (start and three midgame positions):")
    built_in_times()


if __name__ == "__main__":
    main()
