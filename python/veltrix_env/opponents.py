"""Built-in opponents for the single-game environments: a function from a `Board` (the opponent to
move) to an action, 0..63 for a square or 64 for the pass."""

from __future__ import annotations

from collections.abc import Callable

from veltrix import AlphaBetaSearch, Board, Evaluator, PieceEvaluator

PASS_ACTION = 64

Opponent = Callable[[Board], int]


def random_move(board: Board) -> int:
    """A uniformly drawn legal move, or the pass when there is none."""
    return PASS_ACTION if board.is_pass() else board.get_random_move()


def greedy_move(board: Board) -> int:
    """The move that flips the most discs (the lowest square among equals), or the pass."""
    best, best_discs = PASS_ACTION, -1
    for move in board.get_legal_moves_vec():
        child = board.clone()
        child.do_move(move)
        discs = child.opponent_piece_num()  # the mover's discs, now the side not to move
        if discs > best_discs:
            best, best_discs = move, discs
    return best


def search_opponent(depth: int, evaluator: Evaluator | None = None) -> Opponent:
    """An opponent that plays `AlphaBetaSearch`'s move at `depth` (with `PieceEvaluator` unless
    another evaluator is given)."""
    search = AlphaBetaSearch(evaluator if evaluator is not None else PieceEvaluator(), depth)

    def play(board: Board) -> int:
        move = search.get_move(board)
        return PASS_ACTION if move is None else move

    return play


def resolve(opponent: object) -> Opponent | None:
    """The opponent function for an `opponent` argument: "random" (None: the environment draws
    from its own seeded generator), "greedy", an int (a search depth), an `AlphaBetaSearch`, or
    any callable taking a `Board`."""
    if opponent == "random":
        return None
    if opponent == "greedy":
        return greedy_move
    if isinstance(opponent, AlphaBetaSearch):
        search = opponent

        def play(board: Board) -> int:
            move = search.get_move(board)
            return PASS_ACTION if move is None else move

        return play
    if isinstance(opponent, int) and not isinstance(opponent, bool):
        if opponent < 1:
            raise ValueError(f"a search depth must be at least 1, not {opponent}")
        return search_opponent(opponent)
    if callable(opponent):
        function: Opponent = opponent
        return function
    raise TypeError(f"opponent must be 'random', 'greedy', a depth, an AlphaBetaSearch or a callable, not {opponent!r}")
