"""The native batch of games behind veltrix_env (private: use ReversiVectorEnv and ReversiEnv)."""

from collections.abc import Buffer
from typing import final

def move_generator() -> str: ...

@final
class Batch:
    def __new__(
        cls,
        num_envs: int,
        seed: int,
        empty_plane: bool,
        legal_plane: bool,
        same_step: bool,
        disc_difference: bool,
        record_games: bool,
        random_opponent: bool,
        agent_white: bool,
    ) -> Batch: ...
    def size(self) -> int: ...
    def reset(self, observations: Buffer, masks: Buffer, seed: int | None) -> None: ...
    def step(
        self,
        actions: Buffer,
        observations: Buffer,
        masks: Buffer,
        rewards: Buffer,
        terminated: Buffer,
        illegal: Buffer,
        *,
        final_observations: Buffer | None = None,
        final_masks: Buffer | None = None,
        raise_illegal: bool = False,
    ) -> None: ...
    def sample_legal_actions(self, out: Buffer) -> None: ...
    def write_all(self, observations: Buffer, masks: Buffer) -> None: ...
    def get_board(self, row: int) -> tuple[int, int, int, bool]: ...
    def set_board(self, row: int, player: int, opponent: int, turn: int) -> None: ...
    def actions(self, row: int) -> bytes: ...
    def take_finished_games(self) -> list[tuple[int, bytes, int, int, bool, int]]: ...
    def bind(
        self,
        observations: Buffer,
        masks: Buffer,
        rewards: Buffer,
        terminated: Buffer,
        illegal: Buffer,
        sampled: Buffer,
        final_observations: Buffer | None,
        final_masks: Buffer | None,
    ) -> None: ...
    def step_bound(self, actions: Buffer, raise_illegal: bool) -> None: ...
    def sample_bound(self) -> None: ...
    def reset_bound(self, seed: int | None) -> None: ...
    def write_all_bound(self) -> None: ...
