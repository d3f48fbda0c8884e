"""The native batch of games with the NumPy arrays it writes into, shared by every environment here."""

from __future__ import annotations

import operator
from collections.abc import Callable
from dataclasses import dataclass
from typing import Literal

import numpy as np
import numpy.typing as npt

from veltrix_env import _batch

ACTION_COUNT = 65
PASS_ACTION = 64

RewardKind = Literal["win_loss", "disc_difference"]
AutoresetKind = Literal["next_step", "same_step"]
ColorName = Literal["black", "white"]


@dataclass(frozen=True)
class BatchConfig:
    """What the batch writes and how it scores.

    empty_plane / legal_plane add the plane of empty squares and of the side to move's legal moves
    after the two disc planes; reward is "win_loss" (+1 / 0 / -1 for the side that moved, at the
    end) or "disc_difference" (its discs minus the other side's); autoreset is Gymnasium's
    "next_step" or "same_step"; record_games keeps every finished game until taken;
    random_opponent has a random player (from the batch's generator) answer every move, the agent
    playing agent_color.
    """

    empty_plane: bool = True
    legal_plane: bool = False
    reward: RewardKind = "win_loss"
    autoreset: AutoresetKind = "next_step"
    record_games: bool = False
    random_opponent: bool = False
    agent_color: ColorName = "black"

    def __post_init__(self) -> None:
        if self.agent_color not in ("black", "white"):
            raise ValueError(f"agent_color must be 'black' or 'white', not {self.agent_color!r}")
        if self.reward not in ("win_loss", "disc_difference"):
            raise ValueError(f"reward must be 'win_loss' or 'disc_difference', not {self.reward!r}")
        if self.autoreset not in ("next_step", "same_step"):
            raise ValueError(f"autoreset must be 'next_step' or 'same_step', not {self.autoreset!r}")

    @property
    def channels(self) -> int:
        return 2 + int(self.empty_plane) + int(self.legal_plane)


def move_generator() -> str:
    """The move generator the batch runs on in this process: "avx2" or "portable" (VELTRIX_PORTABLE=1)."""
    return _batch.move_generator()


class NativeBatch:
    """`size` games and the arrays their step writes: observations (size, C, 8, 8) uint8, masks
    (size, 65) bool, rewards float32, terminated and illegal bool. The arrays are reused: every
    step overwrites them in place."""

    def __init__(self, size: int, config: BatchConfig, seed: int) -> None:
        try:
            count = operator.index(size)
        except TypeError:
            count = 0
        if isinstance(size, bool) or count < 1:
            raise ValueError(f"the number of games must be a positive int, not {size!r}")
        size = count
        self.size = size
        self.config = config
        self.native = _batch.Batch(size, seed, config.empty_plane, config.legal_plane,
                                   config.autoreset == "same_step", config.reward == "disc_difference",
                                   config.record_games, config.random_opponent, config.agent_color == "white")
        shape = (size, config.channels, 8, 8)
        self.observations: npt.NDArray[np.uint8] = np.zeros(shape, np.uint8)
        self.masks: npt.NDArray[np.bool_] = np.zeros((size, ACTION_COUNT), np.bool_)
        self.rewards: npt.NDArray[np.float32] = np.zeros(size, np.float32)
        self.terminated: npt.NDArray[np.bool_] = np.zeros(size, np.bool_)
        self.truncated: npt.NDArray[np.bool_] = np.zeros(size, np.bool_)  # games end on their own
        self.illegal: npt.NDArray[np.bool_] = np.zeros(size, np.bool_)
        self.final_observations: npt.NDArray[np.uint8] | None = None
        self.final_masks: npt.NDArray[np.bool_] | None = None
        if config.autoreset == "same_step":
            self.final_observations = np.zeros(shape, np.uint8)
            self.final_masks = np.zeros((size, ACTION_COUNT), np.bool_)
        self.sampled: npt.NDArray[np.int64] = np.zeros(size, np.int64)
        # The native side keeps these arrays' buffers from here on: a step only reads the actions.
        self.native.bind(self.observations, self.masks, self.rewards, self.terminated, self.illegal, self.sampled,
                         self.final_observations, self.final_masks)
        self.native.reset_bound(None)
        # step(actions, raise_illegal) straight into the native method, without a Python frame.
        self.step: Callable[[npt.NDArray[np.int64], bool], None] = self.native.step_bound

    def reset(self, seed: int | None) -> None:
        self.native.reset_bound(seed)

    def refresh(self) -> None:
        """Rewrites every observation and mask (after a position was set)."""
        self.native.write_all_bound()

    def sample(self) -> npt.NDArray[np.int64]:
        """One uniformly drawn legal action per game, into the reused array `sampled`."""
        self.native.sample_bound()
        return self.sampled


def as_actions(actions: object, size: int) -> npt.NDArray[np.int64]:
    """`actions` as a C-contiguous int64 array of `size` items (no copy when it already is one)."""
    array = np.asarray(actions)
    if array.dtype != np.int64 or not array.flags.c_contiguous:
        if array.dtype.kind not in "iu":
            raise TypeError(f"actions must be integers, not {array.dtype}")
        array = np.ascontiguousarray(array, np.int64)
    if array.shape != (size,):
        raise ValueError(f"actions must have shape ({size},), not {array.shape}")
    return array
