"""What every class shares at the interpreter boundary: keyword names, fault messages that
stay small however deep they nest, and classes that Python code cannot change."""

import re
import sys

import pytest

import veltrix
from veltrix import AlphaBetaSearch, Board, Evaluator, PieceEvaluator, Turn

# --- keyword names ------------------------------------------------------------------------

LONE_SURROGATE = "\udc80"

KEYWORD_CALLS = [
    pytest.param(lambda **kw: Board().do_move(**kw), id="fastcall method"),
    pytest.param(lambda **kw: Board(**kw), id="constructor"),
    pytest.param(lambda **kw: AlphaBetaSearch(PieceEvaluator(), 1, **kw), id="constructor with arguments"),
    pytest.param(lambda **kw: Evaluator().evaluate(Board(), **kw), id="after a positional argument"),
]


@pytest.mark.parametrize("name", [LONE_SURROGATE, "pos" + LONE_SURROGATE, "\udcff\ud800", "é", "pos\x00"])
@pytest.mark.parametrize("call", KEYWORD_CALLS)
def test_unknown_keyword_names_raise_type_error_naming_them(call, name):
    with pytest.raises(TypeError) as raised:
        call(**{name: 1})
    # The name reads back as given, as in the interpreter's own message for a Python function.
    assert str(raised.value).endswith(f"got an unexpected keyword argument '{name}'")


def test_repeated_keyword_is_named_and_known_names_still_match():
    with pytest.raises(TypeError, match=r"^Board.do_move\(\) got multiple values for argument 'pos'$"):
        Board().do_move(19, **{"pos": 19})
    board = Board()
    board.do_move(**{"pos": 19})
    assert board.get_board_line()[19] == "X"


# --- faults that wrap faults --------------------------------------------------------------

NESTED = "PanicException: "


class SearchesItself:
    """An evaluator that runs a search with itself from inside `evaluate`, `levels` times
    (without limit if None), then fails."""

    def __init__(self, levels):
        self.levels = levels
        self.entered = 0
        self.evaluator = Evaluator()
        self.evaluator.set_py_evaluator(self)

    def evaluate(self, board):
        if self.levels is not None and self.entered >= self.levels:
            raise ValueError("bottom")
        self.entered += 1
        # Always from the start, so that every level has moves to search.
        return AlphaBetaSearch(self.evaluator, 1).get_move(Board())


def run_nested(levels):
    scorer = SearchesItself(levels)
    with pytest.raises(BaseException) as raised:
        AlphaBetaSearch(scorer.evaluator, 1).get_move(Board())
    assert type(raised.value).__name__ == "PanicException"
    return str(raised.value)


@pytest.mark.parametrize("levels", [0, 1, 2, 4])
def test_shallow_nesting_keeps_every_level(levels, capfd):
    message = run_nested(levels)
    assert message == ("Failed to call evaluate method: " + NESTED) * levels + "Failed to call evaluate method: ValueError: bottom"
    # Every level describes itself on standard error while the messages are short.
    assert capfd.readouterr().err.count("veltrix: internal fault: ") == levels + 1


@pytest.mark.parametrize("levels, omitted", [(5, 1), (6, 2), (40, 36)])
def test_deep_nesting_keeps_the_outer_levels_and_the_cause(levels, omitted, capfd):
    message = run_nested(levels)
    assert message == (("Failed to call evaluate method: " + NESTED) * 4 + f"[{omitted} nested faults omitted] "
                       + "Failed to call evaluate method: ValueError: bottom")
    err = capfd.readouterr().err
    assert err.count("veltrix: internal fault: ") == 5
    assert "nested faults omitted" not in err


def test_a_search_that_recurses_without_end_ends_with_a_short_message(capfd):
    # A lower limit than the default keeps the native stack shallow under the sanitizers too.
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(300)
    try:
        message = run_nested(None)
    finally:
        sys.setrecursionlimit(limit)
    assert message.startswith("Failed to call evaluate method: " + NESTED)
    assert len(message) < 1000
    assert message.count(NESTED) == 4
    # What happened is still said: how deep it went and the error at the bottom.
    assert int(re.search(r"\[(\d+) nested faults omitted\]", message).group(1)) > 10
    assert "RecursionError" in message
    err = capfd.readouterr().err
    assert len(err) < 5000
    assert "RecursionError" in err
    # The interpreter is fine afterwards.
    assert AlphaBetaSearch(PieceEvaluator(), 2).get_move(Board()) in (19, 26, 37, 44)


# --- immutable classes --------------------------------------------------------------------

CLASSES = [getattr(veltrix, name) for name in veltrix.__all__]


def test_all_ten_classes_are_checked():
    assert len(CLASSES) == 10


@pytest.mark.parametrize("cls", CLASSES, ids=lambda cls: cls.__name__)
def test_classes_cannot_be_changed(cls):
    method = next((name for name in vars(cls) if not name.startswith("__")), "__doc__")
    before = vars(cls)[method]
    with pytest.raises(TypeError, match="immutable type"):
        setattr(cls, method, 5)
    with pytest.raises(TypeError, match="immutable type"):
        delattr(cls, method)
    with pytest.raises(TypeError, match="immutable type"):
        cls.added = 1
    assert vars(cls)[method] is before
    assert not hasattr(cls, "added")


def test_enum_members_stay_what_they_are():
    with pytest.raises(TypeError):
        Turn.BLACK = 5
    assert Turn.BLACK is not Turn.WHITE
    assert repr(Turn.BLACK) == "Turn.BLACK"
    assert Board().get_board()[2] == Turn.BLACK


def test_python_subclasses_are_ordinary_classes():
    class Mine(Evaluator):
        def evaluate(self, board):
            return 0

    Mine.extra = 1  # a subclass defined in Python stays mutable
    mine = Mine()
    mine.set_py_evaluator(mine)
    assert Evaluator.evaluate(mine, Board()) == 0
    assert AlphaBetaSearch(mine, 1).get_move(Board()) in (19, 26, 37, 44)
