"""The exact endgame solve of the fast search: the published FFO answers, and Ctrl-C during long
searches. (Its agreement with the plain walk near the end is the native check endgame_check,
run by CTest: see cmake/checks.cmake.)"""

import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from veltrix import AlphaBetaSearch, Board, PieceEvaluator, Turn

ROOT = Path(__file__).resolve().parent.parent
# --- the published FFO endgames ------------------------------------------------------------

def ffo_problems():
    problems = []
    for line in (ROOT / "tests" / "data" / "ffo-endgames.txt").read_text().splitlines():
        if line.startswith("#") or not line.strip():
            continue
        number, squares, side, _discs, score, *moves = line.split()
        problems.append((int(number), squares, side, int(score), moves))
    return problems


def ffo_board(squares: str, side: str) -> Board:
    board = Board()
    board.set_board_str(squares, Turn.BLACK if side == "X" else Turn.WHITE)
    return board


def empties_of(board: Board) -> int:
    return 64 - board.piece_sum()


def square(name: str) -> int:
    return (int(name[1]) - 1) * 8 + ord(name[0]) - ord("a")


def perfect_play_score(board: Board) -> int:
    """Plays the game out with the solve choosing every move, and scores the end for the side
    to move at the start with the empty squares going to the winner (the published convention)."""
    first = board.get_board()[2]
    board = board.clone()
    while not board.is_game_over():
        move = AlphaBetaSearch(PieceEvaluator(), empties_of(board) + 2).get_move(board)
        if move is None:
            board.do_pass()
        else:
            board.do_move(move)
    mine, theirs = board.player_piece_num(), board.opponent_piece_num()
    if board.get_board()[2] != first:
        mine, theirs = theirs, mine
    empty = 64 - mine - theirs
    if mine > theirs:
        mine += empty
    elif theirs > mine:
        theirs += empty
    return mine - theirs


# The solve of these takes seconds each; the rest of #40-#59 runs when VELTRIX_FFO_ALL is set.
QUICK = {40, 42, 44, 47}


@pytest.mark.parametrize("number, squares, side, score, moves", [
    pytest.param(*p, marks=pytest.mark.skipif(p[0] not in QUICK and not os.environ.get("VELTRIX_FFO_ALL"),
                                              reason="long solve: set VELTRIX_FFO_ALL=1"))
    for p in ffo_problems()
], ids=[f"ffo{p[0]}" for p in ffo_problems()])
def test_ffo_endgames(number, squares, side, score, moves):
    board = ffo_board(squares, side)
    chosen = AlphaBetaSearch(PieceEvaluator(), empties_of(board) + 2).get_move(board)
    assert chosen in [square(m) for m in moves]
    after = board.clone()
    after.do_move(chosen)
    assert -perfect_play_score(after) == score


# --- Ctrl-C ------------------------------------------------------------------------------------

# Each search below runs for minutes; Ctrl-C must end it at once with KeyboardInterrupt, leave
# the module usable (the next search answers), and the process must exit normally after.
INTERRUPTED = textwrap.dedent("""
    import sys
    from veltrix import AlphaBetaSearch, Board, Evaluator, LegalNumEvaluator, PieceEvaluator, Turn

    class Discs:
        def evaluate(self, board):
            return board.player_piece_num() - board.opponent_piece_num()

    kind, depth, position = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    board = Board()
    if position.startswith("words:"):
        player, opponent = (int(w, 16) for w in position[6:].split(","))
        board.set_board(player, opponent, Turn.BLACK)
    elif position.startswith("line:"):
        board.set_board_str(position[5:], Turn.BLACK)
    evaluator = {"piece": PieceEvaluator, "legal_num": LegalNumEvaluator, "python": Evaluator}[kind]()
    if kind == "python":
        evaluator.set_py_evaluator(Discs())
    print("searching", flush=True)
    try:
        AlphaBetaSearch(evaluator, depth).get_move(board)
        print("finished")
    except KeyboardInterrupt:
        print("interrupted")
    print(AlphaBetaSearch(PieceEvaluator(), 3).get_move(Board()))
""")


FFO_45 = next(p[1] for p in ffo_problems() if p[0] == 45)


@pytest.mark.parametrize("kind, depth, position", [
    ("piece", 22, "start"),  # the midgame search
    ("legal_num", 18, "start"),
    ("piece", 40, "line:" + FFO_45),  # an exact solve
    # Overlapping words (both sides on a1): searched by the walk itself.
    ("piece", 30, "words:0x8000000810000000,0x8000001008000000"),
    # A Python evaluator: the signal is handled inside its evaluate method.
    ("python", 14, "start"),
])
def test_ctrl_c_stops_a_long_search(kind, depth, position):
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED, kind, str(depth), position], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "searching\n"
        # Let the search get going (the ready line comes before it starts).
        try:
            child.wait(timeout=0.5)
        except subprocess.TimeoutExpired:
            pass
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=20)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert out.splitlines() == ["interrupted", "19"], err
    assert child.returncode == 0, err
