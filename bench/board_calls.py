"""Cost of Board calls from Python, side by side with a builtin method call that does nothing.

Prints the median time per call over several repeats and its ratio to the baseline
`(0).bit_length()`, then perft(7) driven from Python through get_child_boards.
"""

import statistics
import sys
import time
import timeit

import veltrix

REPEATS = 15
NUMBER = 200_000


def median_ns(stmt: str, setup: str, number: int = NUMBER) -> float:
    timer = timeit.Timer(stmt, setup=setup, globals={"veltrix": veltrix})
    return statistics.median(timer.repeat(repeat=REPEATS, number=number)) / number * 1e9


def perft(board, depth):
    if depth == 0 or board.is_game_over():
        return 1
    children = board.get_child_boards()
    if children is None:
        passed = board.clone()
        passed.do_pass()
        return perft(passed, depth - 1)
    if depth == 1:
        return len(children)
    return sum(perft(child, depth - 1) for child in children)


def main() -> None:
    setup = "b = veltrix.Board(); z = 0"
    cases = [
        ("baseline (0).bit_length()", "z.bit_length()"),
        ("Board()", "veltrix.Board()"),
        ("get_legal_moves()", "b.get_legal_moves()"),
        ("is_legal_move(19)", "b.is_legal_move(19)"),
        ("is_game_over()", "b.is_game_over()"),
        ("get_legal_moves_vec()", "b.get_legal_moves_vec()"),
        ("clone()", "b.clone()"),
        ("clone().do_move(19)", "b.clone().do_move(19)"),
        ("get_child_boards()", "b.get_child_boards()"),
        ("get_board_line()", "b.get_board_line()"),
    ]
    print(f"Python {sys.version.split()[0]}; median of {REPEATS} x {NUMBER} calls")
    baseline = None
    for label, stmt in cases:
        ns = median_ns(stmt, setup)
        baseline = baseline or ns
        print(f"  {label:28s} {ns:8.1f} ns/call  {ns / baseline:5.2f}x baseline")
    # Context for the allocation-heavy calls: building the returned objects in plain Python.
    for label, stmt in [("list(range(4)) (4-int list)", "list(range(4))"),
                        ("[object() for 4] (4 objects)", "[object(), object(), object(), object()]"),
                        ("'-' * 64 (64-char str)", "'-' * z_len"), ]:
        ns = median_ns(stmt, setup + "; z_len = 64")
        print(f"  {label:28s} {ns:8.1f} ns/call  {ns / baseline:5.2f}x baseline")

    rates = []
    for _ in range(5):
        start = time.perf_counter()
        leaves = perft(veltrix.Board(), 7)
        rates.append(leaves / (time.perf_counter() - start))
    print(f"perft(7) from Python = {leaves} leaves; median {statistics.median(rates) / 1e6:.2f} M leaves/s")


if __name__ == "__main__":
    main()
