"""veltrix_env's native batch and ReversiVectorEnv: every step against veltrix.Board on both move
generators, auto-reset in both modes, illegal actions, seeding, the arrays it accepts, interop."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

gymnasium = pytest.importorskip("gymnasium")

from veltrix import Board, Turn  # noqa: E402
from veltrix_env import (  # noqa: E402
    ReversiVectorEnv,
    board_to_observation,
    observation_to_board,
    transform_actions,
    transform_masks,
    transform_observations,
)
from veltrix_env import _batch  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
PASS = 64


@pytest.mark.parametrize("portable, generator", [("", None), ("1", "portable")])
def test_every_game_matches_board_on_each_move_generator(portable, generator):
    env = dict(os.environ, VELTRIX_PORTABLE=portable)
    result = subprocess.run([sys.executable, str(HERE / "env_replay.py"), "11"], env=env, capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    counts = json.loads(result.stdout)
    if generator is not None:
        assert counts["generator"] == generator
    assert counts["shadowed"] > 200 and counts["replayed"] > 5000


def play_until_terminated(env: ReversiVectorEnv, limit: int = 200) -> tuple:
    for _ in range(limit):
        observations, rewards, terminated, truncated, infos = env.step(env.sample_legal_actions())
        if terminated.any():
            return observations.copy(), rewards.copy(), terminated.copy(), infos
    raise AssertionError("no game ended")


def test_next_step_mode_shows_the_final_position_then_resets_ignoring_the_action():
    env = ReversiVectorEnv(4, seed=3)
    assert env.metadata["autoreset_mode"] == gymnasium.vector.AutoresetMode.NEXT_STEP
    env.reset(seed=3)
    observations, _, terminated, _ = play_until_terminated(env)
    row = int(np.flatnonzero(terminated)[0])
    final = env.get_board(row)
    assert final.is_game_over()
    assert (observations[row] == board_to_observation(final)).all()  # not the next game's start
    actions = env.sample_legal_actions().copy()
    assert actions[row] == PASS
    actions[row] = 7  # any action: it is ignored in a row being reset
    observations, rewards, terminated, _, infos = env.step(actions)
    assert not terminated[row] and rewards[row] == 0 and "illegal_action" not in infos
    assert (observations[row] == board_to_observation(Board())).all()
    assert env.get_board(row) == Board()


def test_same_step_mode_returns_the_next_start_and_the_final_position_in_infos():
    env = ReversiVectorEnv(4, seed=5, autoreset="same_step")
    assert env.metadata["autoreset_mode"] == gymnasium.vector.AutoresetMode.SAME_STEP
    env.reset(seed=5)
    boards_before = None
    for _ in range(200):
        actions = env.sample_legal_actions().copy()
        boards_before = [env.get_board(row) for row in range(4)]
        observations, rewards, terminated, _, infos = env.step(actions)
        if terminated.any():
            break
    row = int(np.flatnonzero(terminated)[0])
    final = boards_before[row]
    if actions[row] == PASS:
        final.do_pass()
    else:
        final.do_move(int(actions[row]))
    assert final.is_game_over()
    assert (infos["_final_obs"] == terminated).all()
    assert (infos["final_obs"][row] == board_to_observation(final)).all()
    assert infos["final_action_mask"][row][PASS] and not infos["final_action_mask"][row][:PASS].any()
    assert (observations[row] == board_to_observation(Board())).all()
    assert rewards[row] == np.sign(final.opponent_piece_num() - final.player_piece_num())


@pytest.mark.parametrize("action", [0, 63, PASS, -1, 65, 2**40])
def test_an_illegal_action_loses_the_game_for_its_player(action):
    env = ReversiVectorEnv(3, seed=1)
    env.reset(seed=1)
    actions = np.array([19, action, 37], np.int64)
    observations, rewards, terminated, _, infos = env.step(actions)
    assert list(terminated) == [False, True, False]
    assert rewards[1] == -1 and rewards[0] == 0
    assert list(infos["illegal_action"]) == [False, True, False] and "lost" in infos["reason"]
    assert (observations[1] == board_to_observation(Board())).all()  # nothing was played there
    env.step(env.sample_legal_actions())
    assert env.get_board(1) == Board()  # and the next step started a new game


def test_disc_difference_scores_an_illegal_action_below_any_loss():
    env = ReversiVectorEnv(1, reward="disc_difference")
    env.reset(seed=0)
    _, rewards, _, _, _ = env.step(np.array([0]))
    assert rewards[0] == -64


def test_raise_mode_raises_and_steps_nothing():
    env = ReversiVectorEnv(2, illegal="raise")
    env.reset(seed=0)
    with pytest.raises(ValueError, match="illegal action 0 in row 1"):
        env.step(np.array([19, 0]))
    assert env.get_board(0) == Board() and env.get_board(1) == Board()
    env.step(np.array([19, 26]))
    assert env.transcript(0) == "d3" and env.transcript(1) == "c4"


def test_same_seed_same_games_and_reset_reseeds():
    def run(seed: int) -> list[str]:
        env = ReversiVectorEnv(8, seed=seed)
        env.reset(seed=seed)
        for _ in range(30):
            env.step(env.sample_legal_actions())
        return [env.transcript(row) for row in range(8)]

    assert run(1) == run(1)
    assert run(1) != run(2)
    env = ReversiVectorEnv(8)
    env.reset(seed=1)
    for _ in range(30):
        env.step(env.sample_legal_actions())
    assert [env.transcript(row) for row in range(8)] == run(1)


def test_sampling_is_uniform_over_the_legal_moves():
    env = ReversiVectorEnv(4000, seed=9)
    env.reset(seed=9)
    counts = np.bincount(env.sample_legal_actions(), minlength=65)
    # Four moves from the start, 1000 expected each: far outside 5 sigma would be a biased draw.
    assert set(np.flatnonzero(counts)) == {19, 26, 37, 44}
    assert all(abs(counts[move] - 1000) < 5 * np.sqrt(750) for move in (19, 26, 37, 44))


@pytest.mark.parametrize("empty_plane, legal_plane", [(False, False), (True, True), (False, True)])
def test_optional_planes(empty_plane, legal_plane):
    env = ReversiVectorEnv(2, empty_plane=empty_plane, legal_plane=legal_plane)
    observations, _ = env.reset(seed=0)
    observations, *_ = env.step(np.array([19, 44]))
    assert observations.shape == (2, 2 + empty_plane + legal_plane, 8, 8)
    assert env.single_observation_space.contains(observations[0])
    for row in range(2):
        board = env.get_board(row)
        expected = board_to_observation(board, empty_plane=empty_plane, legal_plane=legal_plane)
        assert (observations[row] == expected).all()
        if legal_plane:
            assert (observations[row][-1].reshape(64) == env.action_masks()[row][:64]).all()


def test_observation_and_board_convert_both_ways():
    board = Board.from_transcript("f5d6c3d3c4")
    observation = board_to_observation(board)
    planes = np.zeros((3, 8, 8), np.uint8)
    board.write_planes(planes)
    assert (observation == planes).all()
    assert observation_to_board(observation, board.get_board()[2]) == board
    overlapping = observation.copy()
    overlapping[1] = overlapping[0]
    with pytest.raises(ValueError, match="both disc planes"):
        observation_to_board(overlapping, Turn.BLACK)


def test_set_board_continues_from_a_position_and_records_afresh():
    env = ReversiVectorEnv(2)
    observations, _ = env.reset(seed=0)
    board = Board.from_transcript("f5d6c3")
    env.set_board(1, board)
    assert env.get_board(1) == board
    assert (observations[1] == board_to_observation(board)).all()  # rewritten at once, in place
    assert list(np.flatnonzero(env.action_masks()[1])) == board.get_legal_moves_vec()
    env.step(np.array([19, 19]))
    board.do_move(19)
    assert env.get_board(1) == board and env.transcript(1) == "d3"


@pytest.mark.parametrize("k", range(8))
def test_batched_symmetries_agree_with_board_transform(k):
    boards = [Board.from_transcript(t) for t in ("f5", "f5d6c3", "f5f6e6f4")]
    observations = np.stack([board_to_observation(b, legal_plane=True) for b in boards])
    images = transform_observations(observations, k)
    for board, image in zip(boards, images):
        assert (image == board_to_observation(board.transform(k), legal_plane=True)).all()
    masks = np.zeros((len(boards), 65), np.bool_)
    for row, board in enumerate(boards):
        masks[row][board.get_legal_moves_vec()] = True
    actions = np.array([board.get_legal_moves_vec()[0] for board in boards] + [PASS])
    moved = transform_actions(actions, k)
    assert moved[-1] == PASS
    for row, board in enumerate(boards):
        assert moved[row] in board.transform(k).get_legal_moves_vec()
        assert list(np.flatnonzero(transform_masks(masks, k)[row])) == sorted(board.transform(k).get_legal_moves_vec())


@pytest.mark.parametrize("call, error, message", [
    (lambda b, a: b.step(np.zeros(3, np.int32), *a), TypeError, "int64"),
    (lambda b, a: b.step(np.zeros(2, np.int64), *a), ValueError, "needs 3 items"),
    (lambda b, a: b.step(np.zeros(6, np.int64)[::2], *a), ValueError, "C-contiguous"),
    (lambda b, a: b.step(np.zeros(3, np.int64), a[0][:, :2], *a[1:]), ValueError, "needs 576 items"),
    (lambda b, a: b.step(np.zeros(3, np.int64), a[0], a[1].astype(np.int16), *a[2:]), TypeError, "one-byte"),
    (lambda b, a: b.step(np.zeros(3, np.int64), *a[:2], a[2].astype(np.float64), *a[3:]), TypeError, "float32"),
    (lambda b, a: b.step(np.zeros(3, np.int64), bytes(576), *a[1:]), ValueError, "read-only"),
    (lambda b, a: b.step(np.zeros(3, np.int64), "text", *a[1:]), TypeError, "buffer protocol"),
    (lambda b, a: b.get_board(3), IndexError, "out of range"),
    (lambda b, a: b.set_board(0, 1, 1, 0), ValueError, "Invalid state"),
    (lambda b, a: b.sample_bound(), RuntimeError, "bind"),
])
def test_native_batch_checks_its_arrays_before_writing(call, error, message):
    batch = _batch.Batch(3, 0, True, False, False, False, False, False, False)
    arrays = (np.zeros((3, 3, 8, 8), np.uint8), np.zeros((3, 65), np.bool_), np.zeros(3, np.float32),
              np.zeros(3, np.bool_), np.zeros(3, np.bool_))
    with pytest.raises(error, match=message):
        call(batch, arrays)
    assert not arrays[0].any()


def test_vector_env_arguments_are_checked():
    with pytest.raises(ValueError):
        ReversiVectorEnv(0)
    with pytest.raises(ValueError):
        ReversiVectorEnv(2, reward="score")
    with pytest.raises(ValueError):
        ReversiVectorEnv(2, illegal="ignore")
    env = ReversiVectorEnv(2)
    with pytest.raises(ValueError, match="shape"):
        env.step(np.zeros(3, np.int64))
    with pytest.raises(TypeError):
        env.step(np.zeros(2, np.float64))


def test_importing_without_the_rl_extra_says_how_to_install_it():
    code = "import sys; sys.modules['gymnasium'] = None\ntry:\n    import veltrix_env\nexcept ImportError as e:\n    print(e)"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert "pip install 'veltrix[rl]'" in result.stdout and "gymnasium" in result.stdout


def agent_view(board: Board, agent: Turn) -> np.ndarray:
    observation = board_to_observation(board)
    if board.get_board()[2] != agent:
        observation[[0, 1]] = observation[[1, 0]]
    return observation


def successors(board: Board) -> list[Board]:
    if board.is_pass():
        child = board.clone()
        child.do_pass()
        return [child]
    return board.get_child_boards()


@pytest.mark.parametrize("color, agent", [("black", Turn.BLACK), ("white", Turn.WHITE)])
def test_random_opponent_answers_every_agent_move(color, agent):
    env = ReversiVectorEnv(32, opponent="random", agent_color=color, record_games=True)
    observations, _ = env.reset(seed=4)
    ended = 0
    openings = [Board()] if color == "black" else Board().get_child_boards()  # the opponent opens
    for row in range(32):
        assert env.get_board(row) in openings
    for _ in range(150):
        before = [env.get_board(row) for row in range(32)]
        pending = [before[row].is_game_over() for row in range(32)]
        actions = env.sample_legal_actions().copy()
        observations, rewards, terminated, _, _ = env.step(actions)
        for row in range(32):
            board = env.get_board(row)
            if pending[row]:
                assert not terminated[row] and board.get_board()[2] == agent
                continue
            after_agent = before[row].clone()
            after_agent.do_pass() if actions[row] == PASS else after_agent.do_move(int(actions[row]))
            if after_agent.is_game_over():
                assert board == after_agent
            else:
                assert board in successors(after_agent)  # exactly one legal reply was played
            assert bool(terminated[row]) == board.is_game_over()
            if terminated[row]:
                ended += 1
                mine = board.black_piece_num() if agent == Turn.BLACK else board.white_piece_num()
                theirs = board.piece_sum() - mine
                assert rewards[row] == np.sign(mine - theirs)
            else:
                assert rewards[row] == 0 and board.get_board()[2] == agent
            assert (observations[row] == agent_view(board, agent)).all()
    assert ended > 20
    for game in env.take_finished_games():
        board = Board.from_transcript(game.transcript)
        assert (board.black_piece_num(), board.white_piece_num()) == (game.black_discs, game.white_discs)
    with pytest.raises(ValueError, match="agent to move"):
        env.set_board(0, Board.from_transcript("f5" if color == "black" else ""))
