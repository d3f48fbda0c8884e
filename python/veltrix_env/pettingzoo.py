"""Reversi as a PettingZoo AEC environment, offered the way PettingZoo's classic board games are:
`env()` wrapped (out-of-bounds actions asserted, call order enforced), `raw_env()` bare.

Agents "player_0" (Black, moving first) and "player_1" (White) take turns. observe(agent) is a dict: "observation", uint8 planes
(C, 8, 8) from that agent's point of view (channel 0 its discs), and "action_mask", int8 over the
65 actions, all zero for the agent not to move. A pass (64) is an action like any other, legal
only when the agent to move has no move. At the end each agent gets +1 / 0 / -1; an illegal
action ends the game as a loss for the agent that played it (-1, the other +1), with the reason
in infos. A turn-based game has no simultaneous moves, so there is no parallel form.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from veltrix_env._requirements import require

require("numpy", "gymnasium", "pettingzoo")

from gymnasium import spaces  # noqa: E402
from pettingzoo import AECEnv  # type: ignore[import-untyped]  # noqa: E402
from pettingzoo.utils import wrappers  # type: ignore[import-untyped]  # noqa: E402

from veltrix import Board, Turn  # noqa: E402
from veltrix_env.interop import actions_to_transcript, board_to_observation  # noqa: E402

PASS_ACTION = 64
# Black is player_0 and moves first, White player_1, as PettingZoo names the agents of its board games.
AGENTS = ("player_0", "player_1")


def env(**kwargs: Any) -> Any:
    """The environment wrapped as PettingZoo's classic games are (`raw_env`'s keyword arguments)."""
    environment: Any = raw_env(**kwargs)
    environment = wrappers.AssertOutOfBoundsWrapper(environment)
    return wrappers.OrderEnforcingWrapper(environment)


class raw_env(AECEnv):  # type: ignore[misc]  # noqa: N801 (PettingZoo's own name for it)
    metadata = {"render_modes": ["ansi"], "name": "veltrix_reversi_v0", "is_parallelizable": False, "render_fps": 1}

    def __init__(self, *, empty_plane: bool = True, legal_plane: bool = False, render_mode: str | None = None) -> None:
        super().__init__()
        if render_mode not in (None, "ansi"):
            raise ValueError(f"render_mode must be None or 'ansi', not {render_mode!r}")
        self.render_mode = render_mode
        self._empty_plane = empty_plane
        self._legal_plane = legal_plane
        channels = 2 + int(empty_plane) + int(legal_plane)
        self.possible_agents = list(AGENTS)
        self.agents = list(AGENTS)
        self.observation_spaces = {
            agent: spaces.Dict({
                "observation": spaces.Box(0, 1, (channels, 8, 8), np.uint8),
                "action_mask": spaces.Box(0, 1, (PASS_ACTION + 1,), np.int8),
            })
            for agent in AGENTS
        }
        self.action_spaces = {agent: spaces.Discrete(PASS_ACTION + 1) for agent in AGENTS}
        self.board = Board()
        self._moves: list[int] = []
        self._reset_state()

    def observation_space(self, agent: str) -> spaces.Space[Any]:
        return self.observation_spaces[agent]

    def action_space(self, agent: str) -> spaces.Space[Any]:
        return self.action_spaces[agent]

    def _reset_state(self) -> None:
        self.board = Board()
        self._moves = []
        self.agents = list(AGENTS)
        self.rewards = dict.fromkeys(self.agents, 0.0)
        self._cumulative_rewards = dict.fromkeys(self.agents, 0.0)
        self.terminations = dict.fromkeys(self.agents, False)
        self.truncations = dict.fromkeys(self.agents, False)
        self.infos: dict[str, dict[str, Any]] = {agent: {} for agent in self.agents}
        self.agent_selection = AGENTS[0]

    def reset(self, seed: int | None = None, options: dict[str, Any] | None = None) -> None:
        self._reset_state()

    def _to_move(self) -> str:
        return AGENTS[0] if self.board.get_board()[2] == Turn.BLACK else AGENTS[1]

    def observe(self, agent: str) -> dict[str, npt.NDArray[Any]]:
        observation = board_to_observation(self.board, empty_plane=self._empty_plane, legal_plane=self._legal_plane)
        mask = np.zeros(PASS_ACTION + 1, np.int8)
        if agent == self._to_move():
            legal = self.board.get_legal_moves_vec()
            mask[legal] = 1
            if not legal:
                mask[PASS_ACTION] = 1
        else:
            observation[[0, 1]] = observation[[1, 0]]  # the agent's own discs first
            if self._legal_plane:
                observation[-1] = 0  # the legal moves are the other agent's
        return {"observation": observation, "action_mask": mask}

    def step(self, action: int) -> None:
        agent = self.agent_selection
        if self.terminations[agent] or self.truncations[agent]:
            self._was_dead_step(action)
            return
        other = AGENTS[1] if agent == AGENTS[0] else AGENTS[0]
        self._cumulative_rewards[agent] = 0.0
        action = int(action)
        legal = self.board.get_legal_moves_vec()
        if action == PASS_ACTION and not legal:
            self.board.do_pass()
        elif action in legal:
            self.board.do_move(action)
        else:
            self.rewards = {agent: -1.0, other: 1.0}
            self.terminations = dict.fromkeys(self.agents, True)
            self.infos[agent]["reason"] = f"illegal action {action}: the game is lost"
            self.infos[agent]["illegal_action"] = True
            self._accumulate_rewards()
            self.agent_selection = other
            return
        self._moves.append(action)
        if self.board.is_game_over():
            black, white = self.board.black_piece_num(), self.board.white_piece_num()
            result = float(np.sign(black - white))
            self.rewards = {AGENTS[0]: result, AGENTS[1]: -result}
            self.terminations = dict.fromkeys(self.agents, True)
            self._accumulate_rewards()
        self.agent_selection = self._to_move()

    def transcript(self) -> str:
        """The game so far as a transcript ("f5d6c3", passes left out)."""
        return actions_to_transcript(self._moves)

    def render(self) -> str | None:
        return str(self.board) if self.render_mode == "ansi" else None

    def close(self) -> None:
        pass
