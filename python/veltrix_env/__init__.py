"""Reversi environments for reinforcement learning, over a native batch of games.

- `ReversiVectorEnv(num_envs)`: a Gymnasium vector environment, self-play by default, stepped
  natively for the whole batch at once;
- `ReversiEnv()`: one game against a built-in opponent (random by default), a Gymnasium `Env`;
- `veltrix_env.pettingzoo.env()` / `raw_env()` / `parallel_env()`: two agents, PettingZoo style.

Actions are 0..63 (a1 = 0, h1 = 7, h8 = 63) and 64, the pass, which is legal only when the side
to move has no move. Observations are uint8 planes of shape (C, 8, 8) in `Board.write_planes`'s
layout: the side to move's discs, the other side's, then optionally the empty squares and the
legal moves. NumPy and Gymnasium come with the `rl` extra: pip install 'veltrix[rl]'.
"""

from __future__ import annotations

from veltrix_env._requirements import require

require("numpy", "gymnasium")

from veltrix_env.core import (  # noqa: E402
    ACTION_COUNT,
    PASS_ACTION,
    BatchConfig,
    move_generator,
)
from veltrix_env.interop import (  # noqa: E402
    actions_to_transcript,
    board_to_observation,
    observation_to_board,
    transform_actions,
    transform_masks,
    transform_observations,
)
from veltrix_env.opponents import Opponent, greedy_move, random_move, search_opponent  # noqa: E402
from veltrix_env.single import ReversiEnv  # noqa: E402
from veltrix_env.vector import FinishedGame, ReversiVectorEnv  # noqa: E402

__all__ = [
    "ACTION_COUNT",
    "PASS_ACTION",
    "BatchConfig",
    "FinishedGame",
    "Opponent",
    "ReversiEnv",
    "ReversiVectorEnv",
    "actions_to_transcript",
    "board_to_observation",
    "greedy_move",
    "move_generator",
    "observation_to_board",
    "random_move",
    "search_opponent",
    "transform_actions",
    "transform_masks",
    "transform_observations",
]
