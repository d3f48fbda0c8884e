"""What every class shares at the interpreter boundary: keyword names, fault messages that
stay small however deep they nest, and classes that Python code cannot change."""

import re

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
