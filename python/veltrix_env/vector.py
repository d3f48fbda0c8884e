"""ReversiVectorEnv: a batch of self-play games as a Gymnasium 1.x vector environment."""

from __future__ import annotations

from typing import Any, NamedTuple

import gymnasium as gym
import numpy as np
import numpy.typing as npt
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space

from veltrix import Board
from veltrix_env.core import (
    ACTION_COUNT,
    AutoresetKind,
    BatchConfig,
    ColorName,
    NativeBatch,
    RewardKind,
    as_actions,
)
from veltrix_env.interop import actions_to_transcript, board_from_words

Observations = npt.NDArray[np.uint8]


class FinishedGame(NamedTuple):
    """A game the batch finished (kept with record_games=True): the row it was played in, its
    transcript (square names, passes left out, as `Board.from_transcript` reads it), its actions
    (64 = pass), the final disc counts, and whether it ended on an illegal action (then by
    `offender`, "black" or "white", which was not played and is not in the transcript)."""

    row: int
    transcript: str
    actions: tuple[int, ...]
    black_discs: int
    white_discs: int
    illegal: bool
    offender: str | None


class ReversiVectorEnv(VectorEnv[Observations, npt.NDArray[np.int64], npt.NDArray[Any]]):
    """`num_envs` games of self-play: one agent plays both sides, and every observation is from
    the side to move's point of view. `step(actions)` steps every game natively and returns
    arrays that the next call overwrites in place (copy them to keep them).

    Auto-reset is Gymnasium's next-step mode by default: the step that ends a game returns its
    final position (terminated True, reward for the side that moved); the next step starts a new
    game in that row and ignores its action. With autoreset="same_step" the ending step returns
    the new game's first observation and puts the final one in infos["final_obs"] (rows where
    infos["_final_obs"] is True), its mask in infos["final_action_mask"].

    An illegal action ends its game as a loss for the side that played it (reward -1, or -64 with
    reward="disc_difference"); infos["illegal_action"] marks the rows. With illegal="raise" a
    ValueError is raised instead and no game is stepped.

    With opponent="random" the agent plays agent_color only: a random player (drawn from the
    environment's generator) answers each of its moves within the same step, so every
    observation and reward is the agent's, final positions included.
    """

    def __init__(
        self,
        num_envs: int,
        *,
        empty_plane: bool = True,
        legal_plane: bool = False,
        reward: RewardKind = "win_loss",
        autoreset: AutoresetKind = "next_step",
        illegal: str = "lose",
        record_games: bool = False,
        opponent: str | None = None,
        agent_color: ColorName = "black",
        seed: int | None = None,
    ) -> None:
        if illegal not in ("lose", "raise"):
            raise ValueError(f"illegal must be 'lose' or 'raise', not {illegal!r}")
        if opponent not in (None, "random"):
            raise ValueError(f"opponent must be None (self-play) or 'random', not {opponent!r}")
        self.config = BatchConfig(empty_plane, legal_plane, reward, autoreset, record_games, opponent == "random",
                                  agent_color)
        self.metadata = {
            "autoreset_mode": AutoresetMode.NEXT_STEP if autoreset == "next_step" else AutoresetMode.SAME_STEP,
            "render_modes": [],
        }
        self.render_mode = None
        if isinstance(num_envs, bool) or not isinstance(num_envs, (int, np.integer)) or num_envs < 1:
            raise ValueError(f"num_envs must be a positive int, not {num_envs!r}")
        self.num_envs = int(num_envs)
        self._raise_illegal = illegal == "raise"
        self.single_observation_space = gym.spaces.Box(0, 1, (self.config.channels, 8, 8), np.uint8)
        self.single_action_space = gym.spaces.Discrete(ACTION_COUNT)
        self.observation_space = batch_space(self.single_observation_space, self.num_envs)
        self.action_space = batch_space(self.single_action_space, self.num_envs)
        self._batch = NativeBatch(self.num_envs, self.config, self._fresh_seed(seed))

    def _fresh_seed(self, seed: int | None) -> int:
        if seed is not None:
            self._np_random, self._np_random_seed = gym.utils.seeding.np_random(seed)
        return int(self.np_random.integers(0, 2**63))

    def reset(
        self, *, seed: int | None = None, options: dict[str, Any] | None = None
    ) -> tuple[Observations, dict[str, Any]]:
        """Every game back at the initial position (Black to move). With a seed, the batch's
        generator (sample_legal_actions) restarts from it, so runs repeat."""
        self._batch.reset(None if seed is None else self._fresh_seed(seed))
        return self._batch.observations, {}

    def step(
        self, actions: npt.ArrayLike
    ) -> tuple[Observations, npt.NDArray[np.float32], npt.NDArray[np.bool_], npt.NDArray[np.bool_], dict[str, Any]]:
        batch = self._batch
        batch.step(as_actions(actions, self.num_envs), self._raise_illegal)
        infos: dict[str, Any] = {}
        if batch.final_observations is not None and batch.terminated.any():
            infos["final_obs"] = batch.final_observations
            infos["final_action_mask"] = batch.final_masks
            infos["_final_obs"] = batch.terminated
        if batch.illegal.any():
            infos["illegal_action"] = batch.illegal.copy()
            infos["_illegal_action"] = infos["illegal_action"]
            infos["reason"] = "illegal action: the game is lost by the side that played it"
        return batch.observations, batch.rewards, batch.terminated, batch.truncated, infos

    def sample_legal_actions(self) -> npt.NDArray[np.int64]:
        """One uniformly drawn legal action per game (64 where the pass is the only one, and in
        rows that the next step resets), drawn natively from the environment's seeded
        generator. The array is reused by the next call."""
        return self._batch.sample()

    def action_masks(self) -> npt.NDArray[np.bool_]:
        """The legal-action masks (num_envs, 65) of the current observations (the array that
        step() updates in place)."""
        return self._batch.masks

    # Interop with veltrix.Board.

    def get_board(self, row: int) -> Board:
        """The position of game `row` as a new `Board` (for a row that the next step resets,
        its final position)."""
        player, opponent, turn, _ = self._batch.native.get_board(row)
        return board_from_words(player, opponent, turn)

    def set_board(self, row: int, board: Board) -> None:
        """Game `row` continues from `board` (its record starts afresh); its observation and
        mask are rewritten at once."""
        player, opponent, turn = board.get_board()
        self._batch.native.set_board(row, player, opponent, 0 if turn == type(turn).BLACK else 1)
        self._batch.refresh()

    def transcript(self, row: int) -> str:
        """The moves of game `row` so far as a transcript ("f5d6c3", passes left out)."""
        return actions_to_transcript(self._batch.native.actions(row))

    def take_finished_games(self) -> list[FinishedGame]:
        """The games finished since the last call (record_games=True), oldest first."""
        games = []
        for row, actions, black, white, illegal, offender in self._batch.native.take_finished_games():
            games.append(FinishedGame(row, actions_to_transcript(actions), tuple(actions), black, white, illegal,
                                      ("black", "white")[offender] if illegal else None))
        return games
