"""Plays random games on veltrix_env's native batch and checks every step against veltrix.Board
stepped alongside, then replays every finished game on a fresh Board. Run as a program (so that
a test can choose the move generator through VELTRIX_PORTABLE); prints one JSON line of counts."""

from __future__ import annotations

import json
import sys

import numpy as np

from veltrix import Board, Turn
from veltrix_env import ReversiVectorEnv, move_generator

PASS = 64


def expected_planes(board: Board) -> np.ndarray:
    planes = np.zeros((3, 8, 8), np.uint8)
    board.write_planes(planes)
    return planes


def expected_mask(board: Board) -> np.ndarray:
    mask = np.zeros(65, np.bool_)
    moves = board.get_legal_moves_vec()
    mask[moves] = True
    mask[PASS] = not moves
    return mask


def shadow_check(num_envs: int, steps: int, seed: int) -> int:
    """Every observation, mask, reward and termination equals what Board gives; returns the
    number of games that ended."""
    env = ReversiVectorEnv(num_envs, seed=seed)
    observations, _ = env.reset(seed=seed)
    boards = [Board() for _ in range(num_envs)]
    pending = [False] * num_envs
    ended = 0
    for _ in range(steps):
        actions = env.sample_legal_actions().copy()
        for row in range(num_envs):
            if not pending[row]:
                assert expected_mask(boards[row])[actions[row]], (row, actions[row])
        observations, rewards, terminated, truncated, _ = env.step(actions)
        assert not truncated.any()
        for row in range(num_envs):
            board = boards[row]
            if pending[row]:
                board, pending[row] = Board(), False
                boards[row] = board
                assert not terminated[row] and rewards[row] == 0
            else:
                if actions[row] == PASS:
                    board.do_pass()
                else:
                    board.do_move(int(actions[row]))
                over = board.is_game_over()
                assert bool(terminated[row]) == over, row
                if over:
                    ended += 1
                    pending[row] = True
                    mover = board.opponent_piece_num() - board.player_piece_num()
                    assert rewards[row] == np.sign(mover), (row, rewards[row], mover)
                else:
                    assert rewards[row] == 0
            assert (observations[row] == expected_planes(board)).all(), row
            assert (env.action_masks()[row] == expected_mask(board)).all(), row
            assert env.get_board(row) == board
    return ended


def replay_check(num_envs: int, steps: int, seed: int) -> int:
    """Every recorded game replays legally on Board to the same final disc counts; returns how
    many games were replayed."""
    env = ReversiVectorEnv(num_envs, seed=seed, record_games=True)
    env.reset(seed=seed)
    replayed = 0
    winners = {"black": 0, "white": 0, "draw": 0}
    for _ in range(steps):
        env.step(env.sample_legal_actions())
        for game in env.take_finished_games():
            board = Board()
            for action in game.actions:
                if action == PASS:
                    board.do_pass()
                else:
                    board.do_move(action)
            assert board.is_game_over() and not game.illegal
            assert (board.black_piece_num(), board.white_piece_num()) == (game.black_discs, game.white_discs)
            assert Board.from_transcript(game.transcript).get_board_line() == board.get_board_line()
            winner = board.get_winner()
            winners["draw" if winner is None else "black" if winner == Turn.BLACK else "white"] += 1
            replayed += 1
    assert winners["black"] and winners["white"], winners  # both sides win some random games
    return replayed


def main() -> None:
    seed = int(sys.argv[1])
    shadowed = shadow_check(48, 400, seed)
    replayed = replay_check(1024, 400, seed + 1)
    print(json.dumps({"generator": move_generator(), "shadowed": shadowed, "replayed": replayed}))


if __name__ == "__main__":
    main()
