"""How soon Ctrl-C ends a long search: while AlphaBetaSearch.get_move runs (a deep midgame
search, an exact solve, a Python evaluator) an interval timer raises a signal whose handler
is Python's own SIGINT handler, and the time from the timer's expiry until KeyboardInterrupt
reaches the caller is taken. (A thread cannot send the signal: the search holds the
interpreter lock.) Prints the median and the worst delay of each kind over several rounds.

Usage: python bench/search_interrupt.py [rounds]
"""

import signal
import statistics
import sys
import time
from pathlib import Path

from veltrix import AlphaBetaSearch, Board, Evaluator, LegalNumEvaluator, PieceEvaluator, Turn


class Discs:
    def evaluate(self, board: Board) -> int:
        return board.player_piece_num() - board.opponent_piece_num()


def ffo_position(number: int) -> Board:
    data = Path(__file__).resolve().parent.parent / "tests" / "data" / "ffo-endgames.txt"
    for line in data.read_text().splitlines():
        fields = line.split()
        if fields and fields[0] == str(number):
            board = Board()
            board.set_board_str(fields[1], Turn.BLACK if fields[2] == "X" else Turn.WHITE)
            return board
    raise LookupError(number)


def python_evaluator() -> Evaluator:
    evaluator = Evaluator()
    evaluator.set_py_evaluator(Discs())
    return evaluator


def delay_after_signal(search: AlphaBetaSearch, board: Board, after: float) -> float:
    """Seconds from the signal to the KeyboardInterrupt out of get_move."""
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    started = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, after)
    try:
        search.get_move(board)
    except KeyboardInterrupt:
        return time.perf_counter() - started - after
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    raise RuntimeError("the search ended before the signal")


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 9
    cases = [
        ("midgame, PieceEvaluator, depth 22", AlphaBetaSearch(PieceEvaluator(), 22), Board()),
        ("midgame, LegalNumEvaluator, depth 18", AlphaBetaSearch(LegalNumEvaluator(), 18), Board()),
        ("exact solve, FFO #45 (24 empties)", AlphaBetaSearch(PieceEvaluator(), 40), ffo_position(45)),
        ("Python evaluator, depth 14", AlphaBetaSearch(python_evaluator(), 14), Board()),
    ]
    print(f"delay from the signal to KeyboardInterrupt, {rounds} rounds each (signal 0.2-0.6 s in)")
    for name, search, board in cases:
        delays = [delay_after_signal(search, board, 0.2 + 0.4 * i / rounds) for i in range(rounds)]
        print(f"  {name:40s} median {statistics.median(delays) * 1e3:7.2f} ms, worst {max(delays) * 1e3:7.2f} ms")


if __name__ == "__main__":
    main()
