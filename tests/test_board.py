"""The bitboard engine against a square-by-square model, perft counts and the Python surface."""

import random

import pytest

import veltrix
from reference import BLACK, EMPTY, WHITE, RefBoard, bit
from veltrix import Board, Color, Turn


def turn_of(color: int) -> Turn:
    return Turn.BLACK if color == BLACK else Turn.WHITE


def check_against_model(board: Board, model: RefBoard) -> list[int]:
    """Every query of the engine agrees with the model on one position; returns the legal moves."""
    player, opponent, turn = board.get_board()
    assert (player, opponent) == model.words()
    assert turn == turn_of(model.to_move)

    legal = model.legal_moves()
    over = not legal and not model.legal_moves(model.opponent)
    assert board.get_legal_moves() == sum(bit(p) for p in legal)
    assert board.get_legal_moves_vec() == legal
    assert board.get_legal_moves_tf() == [p in legal for p in range(64)]
    assert [p for p in range(64) if board.is_legal_move(p)] == legal
    assert board.is_pass() == (not legal)
    assert board.is_game_over() == over

    me, other = model.count(model.to_move), model.count(model.opponent)
    assert (board.player_piece_num(), board.opponent_piece_num()) == (me, other)
    assert (board.black_piece_num(), board.white_piece_num()) == (model.count(BLACK), model.count(WHITE))
    assert board.piece_sum() == me + other
    assert board.diff_piece_num() == me - other

    assert board.get_board_line() == model.line()
    assert str(board) == model.grid()
    assert board.get_board_vec_turn() == model.cells
    side = {EMPTY: 0, model.to_move: 1, model.opponent: 2}
    assert board.get_board_vec_black() == [side[c] for c in model.cells]
    matrix = board.get_board_matrix()
    for plane, color in enumerate([model.to_move, model.opponent, EMPTY]):
        assert matrix[plane] == [[int(model.cells[r * 8 + c] == color) for c in range(8)] for r in range(8)]

    children = board.get_child_boards()
    if not legal:
        assert children is None
    else:
        expected = []
        for move in legal:
            child = model.copy()
            child.play(move)
            expected.append((*child.words(), turn_of(child.to_move)))
        assert [c.get_board() for c in children] == expected

    queries = ["is_win", "is_lose", "is_draw", "is_black_win", "is_white_win", "get_winner"]
    if over:
        black, white = model.count(BLACK), model.count(WHITE)
        assert board.is_win() == (me > other) and board.is_lose() == (me < other)
        assert board.is_draw() == (me == other)
        assert board.is_black_win() == (black > white) and board.is_white_win() == (white > black)
        winner = board.get_winner()
        assert winner == (None if me == other else turn_of(model.to_move if me > other else model.opponent))
    else:
        for query in queries:
            with pytest.raises(ValueError, match="^Game is not over yet$"):
                getattr(board, query)()
    return legal


def check_illegal_moves_refused(board: Board, legal: list[int], rng: random.Random) -> None:
    before = board.get_board()
    illegal = [p for p in range(64) if p not in legal]
    for pos in rng.sample(illegal, min(4, len(illegal))):
        with pytest.raises(ValueError, match="^Invalid move$"):
            board.do_move(pos)
    with pytest.raises(ValueError, match="^Invalid position$"):
        board.do_move(64 + rng.randrange(1000))
    if legal:
        with pytest.raises(ValueError, match="^Invalid pass$"):
            board.do_pass()
    assert board.get_board() == before


@pytest.mark.parametrize("seed", range(10))
def test_random_games_agree_with_model_at_every_ply(seed):
    rng = random.Random(seed)
    for _ in range(30):
        board, model = Board(), RefBoard.initial()
        while True:
            legal = check_against_model(board, model)
            check_illegal_moves_refused(board, legal, rng)
            if board.is_game_over():
                break
            if not legal:
                board.do_pass()
                model.pass_turn()
                continue
            twin = board.clone()
            move = rng.choice(legal)
            board.do_move(move)
            model.play(move)
            # The clone is independent of the board it came from.
            assert twin.get_board() != board.get_board()
            if not board.is_pass():
                assert board.get_random_move() in board.get_legal_moves_vec()


def test_random_positions_from_words_agree_with_model():
    """Arbitrary disjoint words, not only reachable positions, follow the same rules."""
    rng = random.Random(7)
    for _ in range(300):
        cells = [rng.choice([EMPTY, EMPTY, BLACK, WHITE]) for _ in range(64)]
        model = RefBoard(cells, rng.choice([BLACK, WHITE]))
        board = Board()
        player, opponent = model.words()
        board.set_board(player, opponent, turn_of(model.to_move))
        check_against_model(board, model)
        for move in model.legal_moves():
            child, twin = model.copy(), board.clone()
            child.play(move)
            twin.do_move(move)
            assert twin.get_board() == (*child.words(), turn_of(child.to_move))


def perft(board: Board, depth: int) -> int:
    if depth == 0:
        return 1
    if board.is_game_over():
        return 1
    children = board.get_child_boards()
    if children is None:
        passed = board.clone()
        passed.do_pass()
        return perft(passed, depth - 1)
    if depth == 1:
        return len(children)
    return sum(perft(child, depth - 1) for child in children)


@pytest.mark.parametrize("depth, leaves", [(1, 4), (2, 12), (3, 56), (4, 244), (5, 1396), (6, 8200), (7, 55092),
                                           (8, 390216)])
def test_perft_counts_from_the_start(depth, leaves):
    assert perft(Board(), depth) == leaves


WRAP_CASES = [
    # White on h1 (7) and Black on a2 (8): a1 is no move along the row wrap.
    ("-------OX" + "-" * 55, Turn.BLACK, 0),
    # Black d1... a run along row 1 towards h that would continue onto a2.
    ("XOOOOOO-" + "X" + "-" * 55, Turn.BLACK, 1 << (63 - 7)),
]


@pytest.mark.parametrize("line, turn, legal", WRAP_CASES)
def test_runs_never_wrap_between_rows(line, turn, legal):
    board = Board()
    board.set_board_str(line, turn)
    assert board.get_legal_moves() == legal


def test_wrap_run_does_not_flip_across_rows():
    board = Board()
    # Playing h1 flips b1..g1 (closed by a1); a2's disc past the row end must not matter.
    board.set_board_str("XOOOOOO-OX" + "-" * 54, Turn.BLACK)
    board.do_move(7)
    assert board.get_board_line() == "XXXXXXXXOX" + "-" * 54


def test_initial_position_and_first_move():
    board = Board()
    assert board.get_board() == (0x0000000810000000, 0x0000001008000000, Turn.BLACK)
    assert board.get_legal_moves() == 0x0000102004080000
    assert board.get_random_move() in (19, 26, 37, 44)
    board.do_move(19)
    assert board.get_board() == (0x0000000008000000, 0x0000101810000000, Turn.WHITE)
    assert [c.get_board()[2] for c in Board().get_child_boards()] == [Turn.WHITE] * 4


def test_pass_position_and_full_board_draw():
    board = Board()
    # Black to move with no move while White can still move: a forced pass.
    board.set_board_str("OX" + "-" * 62, Turn.BLACK)
    assert board.is_pass() and not board.is_game_over()
    assert board.get_child_boards() is None
    with pytest.raises(ValueError, match="^No legal move$"):
        board.get_random_move()
    board.do_pass()
    assert board.get_board()[2] == Turn.WHITE

    board.set_board_str("XO" * 16 + "OX" * 16, Turn.WHITE)
    assert board.is_game_over() and board.is_draw() and board.get_winner() is None
    # A pass is accepted when the game is over.
    board.do_pass()
    assert board.get_board()[2] == Turn.BLACK


@pytest.mark.parametrize("line, turn, error", [
    ("x", Turn.BLACK, "Invalid charactor"),
    ("-" * 10 + "." + "-" * 53, Turn.BLACK, "Invalid charactor"),
    ("-" * 64 + "X", Turn.WHITE, "Invalid charactor"),
    ("-" * 64 + "-" * 5, Turn.WHITE, None),
    ("", Turn.BLACK, None),
])
def test_set_board_str(line, turn, error):
    board = Board()
    before = board.get_board()
    if error:
        with pytest.raises(ValueError, match=f"^{error}$"):
            board.set_board_str(line, turn)
        assert board.get_board() == before
    else:
        board.set_board_str(line, turn)
        assert board.get_board() == (0, 0, turn)


def test_set_board_str_exchanges_words_with_turn():
    initial = "-" * 27 + "OX" + "-" * 6 + "XO" + "-" * 27
    board = Board()
    board.set_board_str(initial, Turn.WHITE)
    assert board.get_board() == (0x0000001008000000, 0x0000000810000000, Turn.WHITE)
    assert board.get_board_line() == initial


@pytest.mark.parametrize("render", ["get_board_line", "get_board_vec_black", "get_board_vec_turn",
                                    "get_board_matrix", "__str__"])
def test_renderers_refuse_overlapping_words(render):
    board = Board()
    board.set_board(1, 1, Turn.BLACK)
    with pytest.raises(ValueError, match="^Invalid state$"):
        getattr(board, render)()
    assert board.get_board() == (1, 1, Turn.BLACK)


@pytest.mark.parametrize("call, error, message", [
    (lambda b: b.do_move(-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda b: b.do_move(2**64), OverflowError, None),
    (lambda b: b.set_board(2**64, 0, Turn.BLACK), OverflowError, None),
    (lambda b: b.do_move("19"), TypeError, "^argument 'pos': 'str' object cannot be interpreted as an integer$"),
    (lambda b: b.do_move(), TypeError, r"^Board.do_move\(\) missing 1 required positional argument: 'pos'$"),
    (lambda b: b.do_move(1, 2), TypeError, r"^Board.do_move\(\) takes 1 positional argument but 2 were given$"),
    (lambda b: b.do_move(po=1), TypeError, r"^Board.do_move\(\) got an unexpected keyword argument 'po'$"),
    (lambda b: b.do_move(19, pos=19), TypeError, r"^Board.do_move\(\) got multiple values for argument 'pos'$"),
    (lambda b: b.clone(1), TypeError, r"^Board.clone\(\) takes 0 positional arguments but 1 was given$"),
    (lambda b: b.set_board(1, 2), TypeError,
     r"^Board.set_board\(\) missing 1 required positional argument: 'turn'$"),
    (lambda b: b.set_board(1, 2, 0), TypeError, "^argument 'turn': 'int' object cannot be converted to 'Turn'$"),
    (lambda b: b.set_board(1, 2, Color.BLACK), TypeError, "^argument 'turn': 'Color' object cannot be converted"),
    (lambda b: b.set_board_str(5, Turn.BLACK), TypeError, "^argument 'line': 'int' object cannot be converted"),
    (lambda b: b.is_legal_move(64), ValueError, "^Invalid position$"),
    (lambda b: Board(1), TypeError, "takes 0 positional arguments but 1 was given"),
    (lambda b: Turn(), TypeError, "^No constructor defined$"),
    (lambda b: Color(0), TypeError, "^No constructor defined$"),
    (lambda b: Turn.BLACK < Turn.WHITE, TypeError, None),
    (lambda b: Color.EMPTY >= Color.WHITE, TypeError, None),
])
def test_argument_and_usage_errors(call, error, message):
    board = Board()
    with pytest.raises(error, match=message):
        call(board)
    assert board.get_board() == Board().get_board()


def test_keyword_arguments_are_accepted():
    board = Board()
    board.set_board(turn=Turn.WHITE, opponent_board=3, player_board=4)
    assert board.get_board() == (4, 3, Turn.WHITE)
    board = Board()
    board.do_move(pos=19)
    assert board.is_legal_move(pos=18)


def test_enum_comparisons_and_text():
    assert Turn.BLACK == Board().get_board()[2] and Turn.BLACK != Turn.WHITE
    assert (Turn.BLACK == Color.BLACK) is False and (Turn.BLACK != Color.BLACK) is True
    assert Turn.BLACK.__eq__(Color.BLACK) is NotImplemented
    assert Turn.BLACK.__lt__(Turn.WHITE) is NotImplemented
    assert Turn.BLACK.__eq__(0) is NotImplemented
    assert [str(t) for t in (Turn.BLACK, Turn.WHITE)] == ["Black", "White"]
    assert [str(c) for c in (Color.EMPTY, Color.BLACK, Color.WHITE)] == ["Empty", "Black", "White"]
    assert len({Turn.BLACK, Board().get_board()[2], Turn.WHITE}) == 2


def test_text_signatures_and_docstrings():
    assert Board.__text_signature__ == "()"
    assert Board.__doc__ == "" and Turn.__doc__ == "" and Color.__doc__ == ""
    assert Board.set_board.__text_signature__ == "($self, player_board, opponent_board, turn)"
    assert Board.get_board_line.__text_signature__ == "($self)"
    assert Board.__name__ == "Board"


def test_module_surface_and_reimport():
    import importlib
    import sys

    assert veltrix.__doc__ == ""
    expected = ["Turn", "Color", "Board", "Arena", "NetworkArenaClient", "NetworkArenaServer",
                "AlphaBetaSearch", "LegalNumEvaluator", "PieceEvaluator", "Evaluator"]
    assert veltrix.__all__ == expected
    for name in veltrix.__all__:
        assert getattr(veltrix, name).__name__ == name
    del sys.modules["veltrix"]
    again = importlib.import_module("veltrix")
    assert again is veltrix
    sys.modules["veltrix"] = veltrix


def test_sub_interpreter_import_is_refused():
    _testcapi = pytest.importorskip("_testcapi")
    import subprocess
    import sys
    import textwrap

    # Run in a fresh process so the main interpreter has imported veltrix first.
    script = textwrap.dedent("""
        import veltrix, _testcapi
        code = '''
        try:
            import veltrix
        except ImportError as error:
            open(PATH, "w").write("ImportError: " + str(error))
        '''
        print(_testcapi.run_in_subinterp(code.replace("PATH", repr(OUT))))
    """)
    import os
    import tempfile
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "result")
        result = subprocess.run([sys.executable, "-c", f"OUT = {out!r}\n" + script],
                                capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        with open(out) as handle:
            assert handle.read().startswith("ImportError: ")
