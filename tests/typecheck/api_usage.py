"""Every public method of veltrix, called with the types its stubs promise.

Type-checked with `mypy --strict` (scripts/check-types.sh) against the stubs as installed, so
a stub that drifts from what callers write fails the check. The board part also runs.
"""

from __future__ import annotations

import copy
import pickle
import sys

import veltrix
from veltrix import (AlphaBetaSearch, Arena, Board, Color, Evaluator, LegalNumEvaluator, NetworkArenaClient,
                     NetworkArenaServer, PieceEvaluator, Turn)


def use_enums() -> list[object]:
    turns: set[Turn] = {Turn.BLACK, Turn.WHITE}
    colors: dict[Color, str] = {Color.EMPTY: "-", Color.BLACK: "X", Color.WHITE: "O"}
    same: bool = Turn.BLACK == Turn.WHITE or Color.EMPTY != Color.BLACK
    copies: list[Turn] = [copy.copy(Turn.BLACK), copy.deepcopy(Turn.WHITE)]
    reduced = Color.BLACK.__reduce__()
    hashed: int = hash(Turn.BLACK) + hash(Color.EMPTY)
    return [turns, colors, same, copies, reduced, hashed, str(Turn.BLACK), repr(Color.WHITE)]


def use_board() -> list[object]:
    board = Board()
    player: int
    opponent: int
    turn: Turn
    player, opponent, turn = board.get_board()
    board.set_board(player, opponent, turn)
    board.set_board_str("-" * 27 + "OX" + "-" * 6 + "XO" + "-" * 27, Turn.BLACK)
    line: str = board.get_board_line()
    vec_black: list[int] = board.get_board_vec_black()
    vec_turn: list[int] = board.get_board_vec_turn()
    matrix: list[list[list[int]]] = board.get_board_matrix()
    counts: list[int] = [board.player_piece_num(), board.opponent_piece_num(), board.black_piece_num(),
                         board.white_piece_num(), board.piece_sum(), board.diff_piece_num()]
    mask: int = board.get_legal_moves()
    moves: list[int] = board.get_legal_moves_vec()
    flags: list[bool] = board.get_legal_moves_tf()
    legal: bool = board.is_legal_move(19)
    children: list[Board] | None = board.get_child_boards()
    random_move: int = board.get_random_move()
    board.do_move(random_move)
    board.do_move_name("c4" if board.is_legal_move(Board.parse_square("c4")) else Board.square_name(
        board.get_legal_moves_vec()[0]))
    state: list[bool] = [board.is_pass(), board.is_game_over()]
    if board.is_pass():
        board.do_pass()
    final = Board.from_transcript("f5d6c5b6b5f4a7c6e6b7c4a6a5f6c7a8d7e7f7c8g4a4g6g5h6h5d8h3h4g7"
                                  "e8f3b4g3h7e3h2d3f2b3e2g2d2c2h1f8g1c3a2a3f1e1b2c1d1g8b8a1h8b1")
    results: list[object] = [final.is_win(), final.is_lose(), final.is_draw(), final.is_black_win(),
                             final.is_white_win()]
    winner: Turn | None = final.get_winner()
    twin: Board = board.clone()
    equal: bool = twin == board and not twin != board
    copies: list[Board] = [copy.copy(board), copy.deepcopy(board), pickle.loads(pickle.dumps(board))]
    rebuilt = Board()
    rebuilt.__setstate__(board.__reduce__()[2])
    images: list[Board] = [board.transform(k) for k in range(8)] + [board.canonical()]
    planes = bytearray(192)
    board.write_planes(planes)
    svg: str = board.to_svg()
    notebook: str | None = board._repr_svg_()
    return [line, vec_black, vec_turn, matrix, counts, mask, moves, flags, legal, children, state, results,
            winner, equal, copies, rebuilt, images, planes, svg, notebook, str(board), repr(board)]


class CornerEvaluator:
    def evaluate(self, board: Board, /) -> int:
        player, opponent, _ = board.get_board()
        corners = 0x8100000000000081
        return (player & corners).bit_count() - (opponent & corners).bit_count()


def use_search() -> int | None:
    evaluator = Evaluator()
    evaluator.set_py_evaluator(CornerEvaluator())
    score: int = evaluator.evaluate(Board()) + PieceEvaluator().evaluate(Board())
    builtin: Evaluator = LegalNumEvaluator()
    assert isinstance(score, int)
    return AlphaBetaSearch(builtin, 2).get_move(Board()) or AlphaBetaSearch(evaluator, 1).get_move(Board())


def use_arenas(program: list[str]) -> tuple[int, ...]:
    """Never called here: it needs player programs and a free port."""
    arena = Arena(program, program)
    arena.play_n(2)
    records: list[Arena.GameRecord] = arena.play(2, openings=["f5"], time_limit=1.5, concurrency=2,
                                                 on_error="forfeit", progress=False)
    black: int = records[0].black
    winner: int | None = records[0].winner
    assert records[0].moves.startswith(records[0].opening) and records[0].error is None
    assert black in (1, 2) and winner in (1, 2, None)
    judged = arena.play_adjudicated(2, 14, openings=["f5"], progress=False)
    counts: list[int] = []
    arena.play_adjudicated(2, None, progress=False, on_progress=counts.append)
    ply: int | None = judged[0].adjudicated_ply
    reply: str | None = judged[0].reply
    assert ply is not None and reply is None and len(judged[0]) == 7
    wins, losses, draws = arena.get_stats()
    mine, theirs = arena.get_pieces()
    client = NetworkArenaClient(program)
    client.connect("127.0.0.1", 8901)
    server = NetworkArenaServer(2)
    server.start("127.0.0.1", 8901)
    return (wins, losses, draws, mine, theirs, *client.get_stats(), *client.get_pieces())


if __name__ == "__main__":
    use_enums()
    use_board()
    print(use_search())
    print(len(veltrix.__all__), "classes;", sys.version.split()[0])
