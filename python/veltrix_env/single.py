"""ReversiEnv: one game against a built-in opponent, as a Gymnasium environment."""

from __future__ import annotations

from typing import Any, Literal

import gymnasium as gym
import numpy as np
import numpy.typing as npt

from veltrix import Board
from veltrix_env.core import ACTION_COUNT, PASS_ACTION, BatchConfig, NativeBatch, RewardKind
from veltrix_env.interop import actions_to_transcript, board_from_words
from veltrix_env.opponents import resolve

Observation = npt.NDArray[np.uint8]


class ReversiEnv(gym.Env[Observation, np.int64]):
    """The agent plays one colour (agent_color "black", "white" or "random", drawn at each reset)
    against `opponent`: "random" (drawn from the environment's seeded generator, the default),
    "greedy", an int (an `AlphaBetaSearch` depth), an `AlphaBetaSearch`, or a callable taking a
    `Board` and returning an action. Every observation is from the agent's point of view
    (channel 0 its discs) and every reward is the agent's: at the end, +1 / 0 / -1 (or the disc
    difference with reward="disc_difference"). An illegal action ends the game as a loss for the
    agent (reward -1, or -64 for the disc difference; info["reason"] says why) or, with
    illegal="raise", raises ValueError and changes nothing. `action_masks()` gives the legal
    actions (64, the pass, only when the agent has no move), as MaskablePPO expects.
    """

    metadata = {"render_modes": ["ansi"], "render_fps": 1}

    def __init__(
        self,
        opponent: object = "random",
        *,
        agent_color: Literal["black", "white", "random"] = "black",
        empty_plane: bool = True,
        legal_plane: bool = False,
        reward: RewardKind = "win_loss",
        illegal: str = "lose",
        render_mode: str | None = None,
    ) -> None:
        if agent_color not in ("black", "white", "random"):
            raise ValueError(f"agent_color must be 'black', 'white' or 'random', not {agent_color!r}")
        if illegal not in ("lose", "raise"):
            raise ValueError(f"illegal must be 'lose' or 'raise', not {illegal!r}")
        if render_mode not in (None, "ansi"):
            raise ValueError(f"render_mode must be None or 'ansi', not {render_mode!r}")
        self._opponent = resolve(opponent)
        self._agent_color_choice = agent_color
        self._raise_illegal = illegal == "raise"
        self.render_mode = render_mode
        config = BatchConfig(empty_plane, legal_plane, reward)
        self.observation_space = gym.spaces.Box(0, 1, (config.channels, 8, 8), np.uint8)
        self.action_space = gym.spaces.Discrete(ACTION_COUNT)
        self._batch = NativeBatch(1, config, 0)
        self._action = np.zeros(1, np.int64)
        self._agent_turn = 0  # 0: the agent plays Black, 1: White
        self._seeded = False
        self._over = True

    def reset(self, *, seed: int | None = None, options: dict[str, Any] | None = None) -> tuple[Observation, dict[str, Any]]:
        super().reset(seed=seed)
        fresh = seed is not None or not self._seeded
        self._batch.reset(int(self.np_random.integers(0, 2**63)) if fresh else None)
        self._seeded = True
        if self._agent_color_choice == "random":
            self._agent_turn = int(self.np_random.integers(0, 2))
        else:
            self._agent_turn = 0 if self._agent_color_choice == "black" else 1
        self._over = False
        if self._agent_turn == 1:
            self._opponent_moves()  # Black opens; the first position cannot end the game
        return self._batch.observations[0].copy(), {}

    def step(self, action: int | np.int64) -> tuple[Observation, float, bool, bool, dict[str, Any]]:
        if self._over:
            raise RuntimeError("the game is over: call reset() first")
        batch = self._batch
        try:
            self._action[0] = action
        except (OverflowError, ValueError, TypeError):
            if not isinstance(action, (int, np.integer)):
                raise TypeError(f"an action is an int from 0 to 64, not {type(action).__name__}") from None
            self._action[0] = -1  # out of every range: illegal
        batch.step(self._action, self._raise_illegal)
        info: dict[str, Any] = {}
        if batch.terminated[0]:
            reward = float(batch.rewards[0])
            if batch.illegal[0]:
                info["illegal_action"] = True
                info["reason"] = f"illegal action {action!r}: the game is lost"
        else:
            # Until the opponent has answered, the game is not in a state the agent may act in.
            self._over = True
            reward = -self._opponent_moves()
            self._over = False
        terminated = bool(batch.terminated[0])
        observation = batch.observations[0].copy()
        if terminated:
            self._over = True
            if not batch.illegal[0] and self._turn_to_move() != self._agent_turn:
                observation[[0, 1]] = observation[[1, 0]]  # the final position, seen by the agent
        return observation, reward, terminated, False, info

    def _turn_to_move(self) -> int:
        return int(self._batch.native.get_board(0)[2])

    def _opponent_moves(self) -> float:
        """Plays the opponent's action; returns the opponent's reward (0 until the end)."""
        batch = self._batch
        if self._opponent is None:
            batch.step(batch.sample(), False)
        else:
            choice = self._opponent(self.board())
            try:
                self._action[0] = choice
                batch.step(self._action, True)
            except (OverflowError, ValueError, TypeError) as error:
                raise ValueError(f"the opponent chose an illegal action {choice!r}") from error
        return float(batch.rewards[0]) if batch.terminated[0] else 0.0

    def action_masks(self) -> npt.NDArray[np.bool_]:
        """The legal actions of the current observation (65 booleans, 64 the pass)."""
        mask: npt.NDArray[np.bool_] = self._batch.masks[0].copy()
        return mask

    def board(self) -> Board:
        """The current position as a new `Board`."""
        player, opponent, turn, _ = self._batch.native.get_board(0)
        return board_from_words(player, opponent, turn)

    def transcript(self) -> str:
        """The game so far, both sides' moves, as a transcript ("f5d6c3", passes left out)."""
        return actions_to_transcript(self._batch.native.actions(0))

    def render(self) -> str | None:
        if self.render_mode == "ansi":
            return str(self.board())
        return None


__all__ = ["PASS_ACTION", "ReversiEnv"]
