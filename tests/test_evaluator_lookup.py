"""How a search finds a Python evaluator's `evaluate`: looked up once per get_move, at its
first position; replacing it during a search takes effect at the next one."""

import functools

import pytest

from veltrix import AlphaBetaSearch, Board, Evaluator


def search_with(py_evaluator, depth=2):
    evaluator = Evaluator()
    evaluator.set_py_evaluator(py_evaluator)
    return AlphaBetaSearch(evaluator, depth)


class Replacing:
    """Replaces its own `evaluate` on the object at the first call."""

    def __init__(self):
        self.calls = []

    def evaluate(self, board):
        self.calls.append("original")
        self.evaluate = self.replacement
        return board.diff_piece_num()

    def replacement(self, board):
        self.calls.append("replacement")
        return board.diff_piece_num()


def test_replacing_evaluate_takes_effect_at_the_next_get_move():
    scorer = Replacing()
    search = search_with(scorer)
    first = search.get_move(Board())
    assert scorer.calls and set(scorer.calls) == {"original"}
    count = len(scorer.calls)
    assert search.get_move(Board()) == first
    assert scorer.calls[count:] == ["replacement"] * count


def test_lookup_happens_once_per_search():
    class Counting:
        lookups = 0

        def __getattribute__(self, name):
            if name == "evaluate":
                type(self).lookups += 1
            return object.__getattribute__(self, name)

        def evaluate(self, board):
            return 0

    scorer = Counting()
    search = search_with(scorer, 3)
    for searches in (1, 2):
        search.get_move(Board())
        assert Counting.lookups == searches
    # A search that scores nothing looks nothing up.
    passing = Board()
    passing.set_board_str("OX" + "-" * 62, passing.get_board()[2])
    assert search.get_move(passing) is None
    assert Counting.lookups == 2


def test_nested_search_on_the_same_object_keeps_its_own_method():
    """A search started from inside `evaluate` looks the method up afresh; the outer search
    goes on with the one it found."""
    calls = []
    holder = {}

    class Nesting:
        def evaluate(self, board):
            calls.append("outer")
            if len(calls) == 1:
                self.evaluate = lambda b: calls.append("inner") or 0
                holder["search"].get_move(Board())
            return board.diff_piece_num()

    scorer = Nesting()
    holder["search"] = search_with(scorer)
    holder["search"].get_move(Board())
    first_inner = calls.index("inner")
    inner_end = len(calls) - calls[::-1].index("inner")
    assert calls[:first_inner] == ["outer"]
    assert set(calls[first_inner:inner_end]) == {"inner"}
    assert set(calls[inner_end:]) == {"outer"} and len(calls) > inner_end


def plain_function(board):
    return board.diff_piece_num()


class StaticEvaluate:
    evaluate = staticmethod(plain_function)


class InstanceCallable:
    def __init__(self, function):
        self.evaluate = function


@pytest.mark.parametrize("scorer", [
    StaticEvaluate(),
    InstanceCallable(plain_function),
    InstanceCallable(functools.partial(lambda bonus, board: board.diff_piece_num() + bonus, 0)),
    InstanceCallable(type("Callable", (), {"__call__": lambda self, board: board.diff_piece_num()})()),
], ids=["staticmethod", "function attribute", "partial", "callable object"])
def test_evaluate_that_is_not_a_bound_method_gets_only_the_board(scorer):
    class Bound:
        def evaluate(self, board):
            return board.diff_piece_num()

    boards = [Board()]
    for _ in range(3):
        child = boards[-1].clone()
        child.do_move(child.get_legal_moves_vec()[0])
        boards.append(child)
    for board in boards:
        assert search_with(scorer, 3).get_move(board) == search_with(Bound(), 3).get_move(board)


def test_a_failed_lookup_is_not_kept():
    class Late:
        pass

    scorer = Late()
    search = search_with(scorer)
    with pytest.raises(BaseException, match="^Failed to call evaluate method: AttributeError"):
        search.get_move(Board())
    scorer.evaluate = plain_function
    assert search.get_move(Board()) in (19, 26, 37, 44)


def test_concurrent_searches_on_one_object_from_two_threads():
    """Two threads share one search; each evaluation gives the interpreter lock away, so the
    two searches interleave. Both choose as one alone does, with every evaluation done."""
    import threading
    import time

    class Yielding:
        def __init__(self):
            self.calls = 0

        def evaluate(self, board):
            self.calls += 1
            time.sleep(0)  # lets the other thread run
            return board.diff_piece_num()

    board = Board()
    board.do_move(19)
    alone = Yielding()
    expected = search_with(alone, 3).get_move(board)

    scorer = Yielding()
    search = search_with(scorer, 3)
    results, errors = [], []

    def run():
        try:
            results.append(search.get_move(board))
        except BaseException as error:
            errors.append(error)

    threads = [threading.Thread(target=run) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not any(thread.is_alive() for thread in threads)
    assert not errors and results == [expected, expected]
    assert scorer.calls == 2 * alone.calls
    # Afterwards a replacement is seen by the next search, as always.
    scorer.evaluate = lambda b: -b.diff_piece_num()
    calls = scorer.calls
    search.get_move(board)
    assert scorer.calls == calls
