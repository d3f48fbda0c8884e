"""Evaluators and AlphaBetaSearch against minimax and alpha-beta references written here."""

import gc
import os
import random
import subprocess
import sys
import weakref

import pytest

import veltrix
from veltrix import AlphaBetaSearch, Board, Evaluator, LegalNumEvaluator, PieceEvaluator, Turn


# --- positions ----------------------------------------------------------------------------

def play_random(rng: random.Random, plies: int) -> Board:
    """The position after up to `plies` random moves (passes included) from the start."""
    board = Board()
    for _ in range(plies):
        if board.is_game_over():
            break
        moves = board.get_legal_moves_vec()
        if moves:
            board.do_move(rng.choice(moves))
        else:
            board.do_pass()
    return board


def random_positions(seed: int, count: int, low: int = 4, high: int = 50) -> list[Board]:
    rng = random.Random(seed)
    return [play_random(rng, rng.randrange(low, high)) for _ in range(count)]


def near_finished_positions(seed: int, count: int, empties: int) -> list[Board]:
    """Positions with at most `empties` empty squares (or games that ended earlier)."""
    rng = random.Random(seed)
    return [play_random(rng, 60 - empties) for _ in range(count)]


# --- Python scorers shared by the references and the Python-backed evaluators ---------------

WEIGHTS = [100, -20, 10, 5, 5, 10, -20, 100,
           -20, -50, -2, -2, -2, -2, -50, -20,
           10, -2, -1, -1, -1, -1, -2, 10,
           5, -2, -1, -1, -1, -1, -2, 5,
           5, -2, -1, -1, -1, -1, -2, 5,
           10, -2, -1, -1, -1, -1, -2, 10,
           -20, -50, -2, -2, -2, -2, -50, -20,
           100, -20, 10, 5, 5, 10, -20, 100]


def piece_score(board: Board) -> int:
    return board.diff_piece_num()


def legal_num_score(board: Board) -> int:
    return board.get_legal_moves().bit_count()


def weighted_score(board: Board) -> int:
    player, opponent, _ = board.get_board()
    return sum(w for pos, w in enumerate(WEIGHTS) if (player >> (63 - pos)) & 1) - \
        sum(w for pos, w in enumerate(WEIGHTS) if (opponent >> (63 - pos)) & 1)


class Scorer:
    """A Python evaluator object over one of the scorers above, counting its calls."""

    def __init__(self, score):
        self.score = score
        self.calls = 0

    def evaluate(self, board):
        self.calls += 1
        return self.score(board)


def py_backed(score) -> Evaluator:
    evaluator = Evaluator()
    evaluator.set_py_evaluator(Scorer(score))
    return evaluator


# --- references -----------------------------------------------------------------------------

def passed(board: Board) -> Board:
    copy = board.clone()
    copy.do_pass()
    return copy


def minimax(board: Board, depth: int, score) -> int:
    """Plain negamax without pruning: a pass is one ply, a finished game is scored as it is."""
    if depth == 0 or board.is_game_over():
        return score(board)
    children = board.get_child_boards()
    if children is None:
        return -minimax(passed(board), depth - 1, score)
    return max(-minimax(child, depth - 1, score) for child in children)


def reference_move(board: Board, max_depth: int, score):
    """The lowest square among the moves of highest value, max_depth plies below each move."""
    best, chosen = None, None
    for move in board.get_legal_moves_vec():
        child = board.clone()
        child.do_move(move)
        value = -minimax(child, max_depth, score)
        if best is None or value > best:
            best, chosen = value, move
    return chosen


def walk(board: Board, depth: int, alpha: int, beta: int, score, seen: list) -> int:
    """The specified alpha-beta walk, recording every position it scores."""
    if depth == 0 or board.is_game_over():
        seen.append(board.get_board())
        return score(board)
    children = board.get_child_boards()
    if children is None:
        return -walk(passed(board), depth - 1, -beta, -alpha, score, seen)
    for child in children:
        value = -walk(child, depth - 1, -beta, -alpha, score, seen)
        if value >= alpha:
            alpha = value
        if alpha >= beta:
            break
    return alpha


def walk_move(board: Board, max_depth: int, score, seen: list):
    best, chosen = -2147483647, None
    for move in board.get_legal_moves_vec():
        child = board.clone()
        child.do_move(move)
        value = -walk(child, max_depth, -2147483646, -best, score, seen)
        if value > best:
            best, chosen = value, move
    return chosen


KINDS = {
    "piece": (PieceEvaluator, piece_score),
    "legal_num": (LegalNumEvaluator, legal_num_score),
    "python": (lambda: py_backed(weighted_score), weighted_score),
}


# --- evaluators -----------------------------------------------------------------------------

def test_built_in_scores_on_random_positions():
    for board in random_positions(1, 200, 0, 60):
        player, opponent, turn = board.get_board()
        assert PieceEvaluator().evaluate(board) == piece_score(board) == Evaluator().evaluate(board)
        assert LegalNumEvaluator().evaluate(board) == len(board.get_legal_moves_vec())
        swapped = Board()
        swapped.set_board(opponent, player, Turn.WHITE if turn == Turn.BLACK else Turn.BLACK)
        assert PieceEvaluator().evaluate(swapped) == -PieceEvaluator().evaluate(board)
    start = Board()
    assert (PieceEvaluator().evaluate(start), LegalNumEvaluator().evaluate(board=start)) == (0, 4)
    must_pass = Board()
    must_pass.set_board_str("OX" + "-" * 62, Turn.BLACK)
    assert LegalNumEvaluator().evaluate(must_pass) == 0


def test_python_evaluator_gets_a_fresh_copy_and_its_result():
    seen = []

    class Recorder:
        def evaluate(self, board):
            seen.append(board)
            board.do_pass() if board.is_pass() else board.do_move(board.get_legal_moves_vec()[0])
            return -12345

    evaluator = Evaluator()
    evaluator.set_py_evaluator(Recorder())
    board = Board()
    assert evaluator.evaluate(board) == -12345
    assert seen[0] is not board and type(seen[0]) is Board
    assert board.get_board() == Board().get_board()  # the change was made on the copy


@pytest.mark.parametrize("value", [2**31 - 1, -2**31, 0, True])
def test_python_evaluator_accepts_the_whole_32_bit_range(value):
    evaluator = py_backed(lambda board: value)
    assert evaluator.evaluate(Board()) == value
    # Extreme scores give no meaningful choice, but a side that can move still gets a move.
    for board in random_positions(50, 4, 4, 30):
        moves = board.get_legal_moves_vec()
        for depth in range(4):
            move = AlphaBetaSearch(evaluator, depth).get_move(board)
            assert (move is None) == (not moves) and (move is None or move in moves)


# --- the chosen move ------------------------------------------------------------------------

@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("depth, count", [(0, 60), (1, 60), (2, 30), (3, 8)])
def test_get_move_matches_minimax(kind, depth, count):
    make, score = KINDS[kind]
    search = AlphaBetaSearch(make(), depth)
    for board in random_positions(100 + depth, count):
        assert search.get_move(board) == reference_move(board, depth, score)


@pytest.mark.parametrize("kind", KINDS)
def test_near_finished_positions_searched_to_the_end(kind):
    make, score = KINDS[kind]
    for empties in (3, 5):
        # With twice as many plies as empty squares every line ends, passes included.
        search = AlphaBetaSearch(make(), 2 * empties)
        for board in near_finished_positions(200 + empties, 12, empties):
            assert search.get_move(board) == reference_move(board, 2 * empties, score)


def test_search_edge_cases():
    assert AlphaBetaSearch(PieceEvaluator(), 0).get_move(Board()) == 19  # four equal moves
    must_pass = Board()
    must_pass.set_board_str("OX" + "-" * 62, Turn.BLACK)
    for evaluator in (PieceEvaluator(), LegalNumEvaluator(), py_backed(piece_score)):
        assert AlphaBetaSearch(evaluator, 3).get_move(must_pass) is None


def fast_and_plain(evaluator_class):
    """The built-in evaluator, and the same scores through the Python path (the plain walk)."""
    plain = Evaluator()
    plain.set_py_evaluator(evaluator_class())
    return evaluator_class(), plain


@pytest.mark.parametrize("evaluator_class", [PieceEvaluator, LegalNumEvaluator])
def test_fast_path_matches_the_plain_walk(evaluator_class):
    fast, plain = fast_and_plain(evaluator_class)
    for depth, count in [(0, 200), (1, 200), (2, 200), (3, 200), (4, 150), (5, 50), (6, 15)]:
        for board in random_positions(300 + depth, count, 4, 56):
            assert AlphaBetaSearch(fast, depth).get_move(board) == AlphaBetaSearch(plain, depth).get_move(board)
    for empties in (4, 6, 8, 10):
        for board in near_finished_positions(400 + empties, 20, empties):
            for depth in (empties - 1, empties, 2 * empties):
                assert AlphaBetaSearch(fast, depth).get_move(board) == AlphaBetaSearch(plain, depth).get_move(board)


def other_side_to_move(board: Board) -> Board:
    player, opponent, turn = board.get_board()
    other = Board()
    other.set_board(opponent, player, Turn.WHITE if turn == Turn.BLACK else Turn.BLACK)
    return other


def overlapping_boards(seed: int, count: int) -> list[Board]:
    """Boards whose two words share squares (accepted by set_board, reached by no game)."""
    rng = random.Random(seed)
    boards = []
    while len(boards) < count:
        player = rng.getrandbits(64) & rng.getrandbits(64)
        opponent = rng.getrandbits(64) & rng.getrandbits(64)
        if player & opponent:
            board = Board()
            board.set_board(player, opponent, rng.choice([Turn.BLACK, Turn.WHITE]))
            boards.append(board)
    return boards


@pytest.mark.parametrize("evaluator_class", [PieceEvaluator, LegalNumEvaluator])
@pytest.mark.parametrize("depth, count", [(0, 300), (1, 300), (2, 60), (3, 12)])
def test_fast_path_keeps_the_walks_move_on_overlapping_words(evaluator_class, depth, count):
    fast, plain = fast_and_plain(evaluator_class)
    for board in overlapping_boards(700 + depth, count):
        assert AlphaBetaSearch(fast, depth).get_move(board) == AlphaBetaSearch(plain, depth).get_move(board)


@pytest.mark.parametrize("evaluator_class", [PieceEvaluator, LegalNumEvaluator])
def test_exact_solve_matches_the_plain_walk_around_the_end(evaluator_class):
    # Depths where the root's children have no slack for passes, one or two plies of it, or
    # more than any line can use; a few with the other side to move, which often must pass.
    fast, plain = fast_and_plain(evaluator_class)
    for empties in (7, 10, 12):
        boards = near_finished_positions(800 + empties, 16, empties)
        boards += [other_side_to_move(board) for board in boards[:4]]
        for board in boards:
            left = 64 - board.piece_sum()
            for depth in (left - 2, left - 1, left, left + 1, left + 2):
                if depth >= 0:
                    assert AlphaBetaSearch(fast, depth).get_move(board) == \
                        AlphaBetaSearch(plain, depth).get_move(board)


@pytest.mark.parametrize("depth", [0, 1, 2, 3])
def test_python_evaluator_sees_the_specified_walk(depth):
    for board in random_positions(500 + depth, 6 if depth < 3 else 3, 4, 56):
        seen = []
        evaluator = py_backed(lambda b: seen.append(b.get_board()) or weighted_score(b))
        move = AlphaBetaSearch(evaluator, depth).get_move(board)
        expected = []
        assert move == walk_move(board, depth, weighted_score, expected)
        assert seen == expected


def test_search_is_deterministic_and_leaves_the_board_alone():
    for board in random_positions(600, 10):
        before = board.get_board()
        moves = {AlphaBetaSearch(PieceEvaluator(), 4).get_move(board=board) for _ in range(3)}
        assert len(moves) == 1 and board.get_board() == before


# --- faults -----------------------------------------------------------------------------------

class NoMethod:
    pass


class Raises:
    def evaluate(self, board):
        raise ValueError("broken evaluator")


class Returns:
    def __init__(self, value):
        self.value = value

    def evaluate(self, board):
        return self.value


FAULTS = [
    (NoMethod(), "Failed to call evaluate method: AttributeError"),
    (Raises(), "Failed to call evaluate method: ValueError: broken evaluator"),
    (Returns(1.5), "Failed to extract result: TypeError"),
    (Returns(None), "Failed to extract result: TypeError"),
    (Returns("3"), "Failed to extract result: TypeError"),
    (Returns(2**31), "Failed to extract result: OverflowError"),
    (Returns(-2**31 - 1), "Failed to extract result: OverflowError"),
    (Returns(2**70), "Failed to extract result: OverflowError"),
]


@pytest.mark.parametrize("call", ["evaluate", "get_move"])
@pytest.mark.parametrize("py_evaluator, message", FAULTS)
def test_python_evaluator_faults_end_the_call_with_panic(py_evaluator, message, call, capfd):
    evaluator = Evaluator()
    evaluator.set_py_evaluator(py_evaluator)
    with pytest.raises(BaseException) as raised:
        if call == "evaluate":
            evaluator.evaluate(Board())
        else:
            AlphaBetaSearch(evaluator, 2).get_move(Board())
    assert type(raised.value).__name__ == "PanicException"
    assert not isinstance(raised.value, Exception) and isinstance(raised.value, BaseException)
    assert str(raised.value).startswith(message)
    assert message.split(":")[0] in capfd.readouterr().err
    # No Python error is left behind and the module keeps working.
    assert AlphaBetaSearch(PieceEvaluator(), 2).get_move(Board()) in (19, 26, 37, 44)
    evaluator.set_py_evaluator(Returns(7))
    assert evaluator.evaluate(Board()) == 7


def test_fault_deep_in_a_search_stops_it():
    class FailsLate:
        calls = 0

        def evaluate(self, board):
            self.calls += 1
            if self.calls == 50:
                raise KeyError("late")
            return board.diff_piece_num()

    scorer = FailsLate()
    evaluator = Evaluator()
    evaluator.set_py_evaluator(scorer)
    with pytest.raises(BaseException, match="^Failed to call evaluate method: KeyError: 'late'$"):
        AlphaBetaSearch(evaluator, 3).get_move(Board())
    assert scorer.calls == 50  # nothing more was asked after the failure


# --- borrow rules and the captured kind -----------------------------------------------------

def test_set_py_evaluator_while_evaluating_is_refused():
    errors = []
    outer = Evaluator()

    class Replacer:
        def evaluate(self, board):
            try:
                outer.set_py_evaluator(Returns(1))
            except RuntimeError as error:
                errors.append(str(error))
            return outer.evaluate(board) if len(errors) < 2 else 5  # shared use is fine

    outer.set_py_evaluator(Replacer())
    assert outer.evaluate(Board()) == 5
    assert errors == ["Already borrowed", "Already borrowed"]
    outer.set_py_evaluator(Returns(3))  # free again afterwards
    assert outer.evaluate(Board()) == 3


@pytest.mark.parametrize("call", ["evaluate", "get_move"])
def test_board_being_read_cannot_be_changed_by_the_evaluator(call):
    board = Board()
    errors = []

    class Mutator:
        def evaluate(self, copy):
            try:
                board.do_move(19)
            except RuntimeError as error:
                errors.append(str(error))
            return 0

    evaluator = Evaluator()
    evaluator.set_py_evaluator(Mutator())
    if call == "evaluate":
        evaluator.evaluate(board)
    else:
        AlphaBetaSearch(evaluator, 1).get_move(board)
    assert errors and set(errors) == {"Already borrowed"}
    assert board.get_board() == Board().get_board()
    board.do_move(19)  # and free once the call is over


def test_search_keeps_the_kind_it_was_built_with():
    evaluator = Evaluator()
    search = AlphaBetaSearch(evaluator, 2)
    evaluator.set_py_evaluator(Raises())
    assert search.get_move(Board()) == 19  # still the piece evaluator

    scorer = Returns(0)
    evaluator.set_py_evaluator(scorer)
    search = AlphaBetaSearch(evaluator, 0)
    evaluator.set_py_evaluator(Raises())
    board = Board()
    assert search.get_move(board) == 19  # all moves score 0
    scorer.value = None  # the same object is called, so its state changes are seen
    with pytest.raises(BaseException, match="^Failed to extract result"):
        search.get_move(board)


def test_subclass_override_is_not_what_the_search_calls():
    class Sub(Evaluator):
        def __init__(self, note):
            super().__init__()
            self.note = note

        def evaluate(self, board):
            return 1000

    sub = Sub("x")
    assert sub.evaluate(Board()) == 1000 and sub.note == "x"
    for board in random_positions(700, 10):
        assert AlphaBetaSearch(sub, 1).get_move(board) == reference_move(board, 1, piece_score)
    sub.set_py_evaluator(Scorer(legal_num_score))
    for board in random_positions(701, 10):
        assert AlphaBetaSearch(sub, 1).get_move(board) == reference_move(board, 1, legal_num_score)


def test_cycles_through_a_python_evaluator_are_collected():
    class Player:
        def __init__(self):
            self.evaluator = Evaluator()
            self.evaluator.set_py_evaluator(self)
            self.search = AlphaBetaSearch(self.evaluator, 1)

        def evaluate(self, board):
            return 0

    player = Player()
    assert player.search.get_move(Board()) == 19
    alive = weakref.ref(player)
    del player
    gc.collect()
    assert alive() is None


# --- the Python surface ---------------------------------------------------------------------

def test_class_properties():
    assert isinstance(PieceEvaluator(), Evaluator) and isinstance(LegalNumEvaluator(), Evaluator)
    assert veltrix.__all__[-4:] == ["AlphaBetaSearch", "LegalNumEvaluator", "PieceEvaluator", "Evaluator"]
    for cls in (PieceEvaluator, LegalNumEvaluator, AlphaBetaSearch):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    for cls, signature in [(Evaluator, "()"), (PieceEvaluator, "()"), (LegalNumEvaluator, "()"),
                           (AlphaBetaSearch, "(evaluator, max_depth)")]:
        assert cls.__doc__ == "" and cls.__text_signature__ == signature and cls.__name__ == cls.__qualname__
    assert Evaluator.set_py_evaluator.__text_signature__ == "($self, py_evaluator)"
    assert PieceEvaluator.evaluate.__text_signature__ == "($self, board)"
    assert AlphaBetaSearch.get_move.__text_signature__ == "($self, board)"


@pytest.mark.parametrize("call, error, message", [
    (lambda: Evaluator().evaluate(0), TypeError, "^argument 'board': 'int' object cannot be converted to 'Board'$"),
    (lambda: AlphaBetaSearch(PieceEvaluator(), 1).get_move("b"), TypeError,
     "^argument 'board': 'str' object cannot be converted to 'Board'$"),
    (lambda: AlphaBetaSearch(object(), 1), TypeError,
     "^argument 'evaluator': 'object' object cannot be converted to 'Evaluator'$"),
    (lambda: AlphaBetaSearch(PieceEvaluator(), 1.0), TypeError, "^argument 'max_depth': "),
    (lambda: AlphaBetaSearch(PieceEvaluator(), -1), OverflowError, None),
    (lambda: AlphaBetaSearch(PieceEvaluator(), 2**64), OverflowError, None),
    (lambda: AlphaBetaSearch(PieceEvaluator()), TypeError,
     r"^AlphaBetaSearch.__new__\(\) missing 1 required positional argument: 'max_depth'$"),
    (lambda: AlphaBetaSearch(PieceEvaluator(), 1, deep=2), TypeError, "unexpected keyword argument 'deep'"),
    (lambda: Evaluator(1), TypeError, r"^Evaluator.__new__\(\) takes 0 positional arguments but 1 was given$"),
    (lambda: PieceEvaluator(kind=1), TypeError, "unexpected keyword argument 'kind'"),
    (lambda: Evaluator().set_py_evaluator(), TypeError, "missing 1 required positional argument: 'py_evaluator'"),
    (lambda: Evaluator().evaluate(Board(), Board()), TypeError, "takes 1 positional argument but 2 were given"),
])
def test_argument_errors(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_keyword_arguments():
    search = AlphaBetaSearch(max_depth=1, evaluator=LegalNumEvaluator())
    assert search.get_move(board=Board()) == reference_move(Board(), 1, legal_num_score)
    evaluator = Evaluator()
    evaluator.set_py_evaluator(py_evaluator=Returns(9))
    assert evaluator.evaluate(board=Board()) == 9


# --- memory -----------------------------------------------------------------------------------

# Eight threads that stay alive after one deep search each, as a pool's workers would: the
# searches' tables must not stay with the threads (each used to keep about 24 MiB).
THREADS_SEARCH = """
import sys, threading
from veltrix import AlphaBetaSearch, Board, PieceEvaluator

def rss_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))

board = Board.from_transcript("d3c5f6f5e6e3c3")
done, leave = threading.Barrier(9), threading.Event()

def worker():
    AlphaBetaSearch(PieceEvaluator(), 8).get_move(board)
    done.wait()
    leave.wait()

AlphaBetaSearch(PieceEvaluator(), 8).get_move(board)  # the shared table, mapped once
before = rss_kib()
pool = [threading.Thread(target=worker) for _ in range(8)]
for thread in pool:
    thread.start()
done.wait()
print(rss_kib() - before)
leave.set()
for thread in pool:
    thread.join()
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizers' allocator keeps memory")
def test_searches_on_many_threads_give_their_tables_back():
    done = subprocess.run([sys.executable, "-c", THREADS_SEARCH], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) < 16 * 1024  # KiB, against 8 x 24 MiB kept before
