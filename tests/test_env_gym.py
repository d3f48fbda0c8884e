"""veltrix_env's Gymnasium and PettingZoo faces: their own checkers, rewards and points of view
against veltrix.Board, the built-in opponents."""

from __future__ import annotations

import numpy as np
import pytest

gymnasium = pytest.importorskip("gymnasium")
pettingzoo_test = pytest.importorskip("pettingzoo.test")

from gymnasium.utils.env_checker import check_env, data_equivalence  # noqa: E402

from veltrix import AlphaBetaSearch, Board, LegalNumEvaluator, Turn  # noqa: E402
from veltrix_env import ReversiEnv, ReversiVectorEnv, board_to_observation, greedy_move  # noqa: E402
from veltrix_env import pettingzoo as reversi_pz  # noqa: E402

PASS = 64


def first_legal(mask: np.ndarray) -> int:
    return int(np.flatnonzero(mask)[0])


@pytest.mark.filterwarnings("ignore:.*(render modes|env.spec).*:UserWarning")
@pytest.mark.parametrize("kwargs", [
    {},
    {"opponent": "greedy", "agent_color": "white"},
    {"opponent": 2, "agent_color": "random", "legal_plane": True},
    {"opponent": lambda board: PASS if board.is_pass() else board.get_legal_moves_vec()[-1], "empty_plane": False},
    {"reward": "disc_difference", "render_mode": "ansi"},
])
def test_single_game_env_passes_check_env(kwargs):
    check_env(ReversiEnv(**kwargs), skip_render_check=False)


@pytest.mark.parametrize("agent_color", ["black", "white"])
def test_rewards_and_final_view_are_the_agents(agent_color):
    env = ReversiEnv("greedy", agent_color=agent_color)
    for seed in range(6):
        observation, _ = env.reset(seed=seed)
        assert env.board().get_board()[2] == (Turn.BLACK if agent_color == "black" else Turn.WHITE)
        while True:
            assert (observation == board_to_observation(env.board())).all() or env.board().is_game_over()
            observation, reward, terminated, truncated, info = env.step(first_legal(env.action_masks()))
            assert not truncated
            if terminated:
                break
        board = env.board()
        assert board.is_game_over() and not info
        mine, theirs = (board.black_piece_num(), board.white_piece_num())
        if agent_color == "white":
            mine, theirs = theirs, mine
        assert reward == np.sign(mine - theirs)
        assert observation[0].sum() == mine and observation[1].sum() == theirs  # the agent's discs first
        assert Board.from_transcript(env.transcript()).get_board_line() == board.get_board_line()
        with pytest.raises(RuntimeError, match="reset"):
            env.step(0)


def test_greedy_and_search_opponents_play_their_moves():
    env = ReversiEnv(greedy_move)
    env.reset(seed=0)
    env.step(19)  # d3; the greedy reply flips most, lowest square first
    reply = Board.from_transcript("d3")
    assert env.board() == Board.from_transcript("d3" + Board.square_name(greedy_move(reply)))
    search = AlphaBetaSearch(LegalNumEvaluator(), 3)
    env = ReversiEnv(search)
    env.reset(seed=0)
    env.step(19)
    expected = Board.from_transcript("d3")
    expected.do_move(AlphaBetaSearch(LegalNumEvaluator(), 3).get_move(expected))
    assert env.board() == expected


def test_illegal_agent_action_loses_or_raises():
    env = ReversiEnv()
    env.reset(seed=1)
    observation, reward, terminated, _, info = env.step(0)
    assert terminated and reward == -1 and info["illegal_action"] and "illegal action 0" in info["reason"]
    assert (observation == board_to_observation(Board())).all()
    strict = ReversiEnv(illegal="raise")
    strict.reset(seed=1)
    with pytest.raises(ValueError, match="illegal action"):
        strict.step(PASS)
    assert strict.board() == Board()
    strict.step(19)  # still playable
    with pytest.raises(TypeError):
        strict.step("d3")  # type: ignore[arg-type]


def test_an_opponent_that_plays_illegally_is_reported():
    env = ReversiEnv(lambda board: 0)
    env.reset(seed=0)
    with pytest.raises(ValueError, match="opponent chose an illegal action 0"):
        env.step(19)


def test_single_env_repeats_with_its_seed():
    def game(seed: int) -> str:
        env = ReversiEnv()
        env.reset(seed=seed)
        while not env.step(first_legal(env.action_masks()))[2]:
            pass
        return env.transcript()

    assert game(4) == game(4) and game(4) != game(5)


def test_vector_env_spaces_and_seeded_resets():
    env = ReversiVectorEnv(5, legal_plane=True)
    observations, infos = env.reset(seed=7)
    assert env.observation_space.contains(observations) and infos == {}
    actions = env.action_space.sample()
    assert env.action_space.contains(actions)
    first_obs = [env.step(env.sample_legal_actions())[0].copy() for _ in range(20)]
    env.reset(seed=7)
    again = [env.step(env.sample_legal_actions())[0].copy() for _ in range(20)]
    assert all(data_equivalence(a, b) for a, b in zip(first_obs, again))
    assert env.step(actions)[1].dtype == np.float32


@pytest.mark.filterwarnings("ignore:Observation (space for each agent|is not a NumPy array).*:UserWarning")
@pytest.mark.parametrize("factory", [reversi_pz.env, reversi_pz.raw_env])
def test_pettingzoo_api_test_passes(factory):
    pettingzoo_test.api_test(factory(), num_cycles=300)


def test_pettingzoo_game_follows_board_and_scores_both_agents():
    env = reversi_pz.raw_env()
    env.reset(seed=0)
    board = Board()
    rng = np.random.default_rng(3)
    final_rewards: dict[str, float] = {}
    for agent in env.agent_iter(max_iter=200):
        observation, reward, terminated, truncated, info = env.last()
        if terminated or truncated:
            final_rewards[agent] = reward
            env.step(None)
            continue
        assert agent == ("player_0" if board.get_board()[2] == Turn.BLACK else "player_1")
        mask = observation["action_mask"]
        other = "player_1" if agent == "player_0" else "player_0"
        assert not env.observe(other)["action_mask"].any()
        assert (observation["observation"] == board_to_observation(board)).all()
        action = int(rng.choice(np.flatnonzero(mask)))
        board.do_pass() if action == PASS else board.do_move(action)
        env.step(action)
    assert board.is_game_over() and final_rewards
    result = float(np.sign(board.black_piece_num() - board.white_piece_num()))
    assert final_rewards == {"player_0": result, "player_1": -result}
    assert Board.from_transcript(env.transcript()).get_board_line() == board.get_board_line()


def test_pettingzoo_illegal_action_loses():
    env = reversi_pz.raw_env()
    env.reset()
    env.step(0)
    assert env.terminations == {"player_0": True, "player_1": True}
    assert env.rewards == {"player_0": -1.0, "player_1": 1.0}
    assert "illegal action 0" in env.infos["player_0"]["reason"]


def test_a_failing_opponent_leaves_the_game_to_be_reset():
    def broken(board: Board) -> int:
        raise KeyError("no move")

    env = ReversiEnv(broken)
    env.reset(seed=0)
    with pytest.raises(KeyError):
        env.step(19)
    with pytest.raises(RuntimeError, match="reset"):
        env.step(26)  # the agent may not move for the opponent
    env.reset(seed=0)
    assert env.board() == Board()
