"""Between the environments' arrays and veltrix's own values: observations and `Board`s, actions
and transcripts, and the eight symmetries of the square applied to whole batches."""

from __future__ import annotations

from collections.abc import Iterable
from functools import cache

import numpy as np
import numpy.typing as npt

from veltrix import Board, Turn

PASS_ACTION = 64


def board_from_words(player: int, opponent: int, turn: int | Turn) -> Board:
    """A `Board` from the two words of a position (side to move first) and the side to move
    (a `Turn`, or 0 for Black and 1 for White)."""
    if not isinstance(turn, Turn):
        turn = (Turn.BLACK, Turn.WHITE)[turn]
    board = Board()
    board.set_board(player, opponent, turn)
    return board


def _plane_word(plane: npt.NDArray[np.generic]) -> int:
    # Square a1 (row 0, column 0) is the word's most significant bit, as in Board.get_board().
    return int.from_bytes(np.packbits(np.asarray(plane, np.bool_).reshape(64)).tobytes(), "big")


def observation_to_board(observation: npt.ArrayLike, turn: Turn) -> Board:
    """The `Board` an observation shows: channel 0 the side to move's discs, channel 1 the other
    side's. An observation does not say which colour is to move, so `turn` does."""
    planes = np.asarray(observation)
    if planes.ndim != 3 or planes.shape[0] < 2 or planes.shape[1:] != (8, 8):
        raise ValueError(f"an observation has shape (C, 8, 8) with C >= 2, not {planes.shape}")
    player, opponent = _plane_word(planes[0]), _plane_word(planes[1])
    if player & opponent:
        raise ValueError("the observation has a square in both disc planes")
    return board_from_words(player, opponent, turn)


def _word_plane(word: int) -> npt.NDArray[np.uint8]:
    return np.unpackbits(np.frombuffer(word.to_bytes(8, "big"), np.uint8)).reshape(8, 8)


def board_to_observation(board: Board, *, empty_plane: bool = True, legal_plane: bool = False) -> npt.NDArray[np.uint8]:
    """The observation of `board` for its side to move, in the environments' layout (the first
    three planes are what `Board.write_planes` writes)."""
    player, opponent, _ = board.get_board()
    planes = [_word_plane(player), _word_plane(opponent)]
    if empty_plane:
        planes.append(_word_plane(~(player | opponent) & (2**64 - 1)))
    if legal_plane:
        planes.append(_word_plane(board.get_legal_moves()))
    return np.stack(planes)


def actions_to_transcript(actions: Iterable[int]) -> str:
    """Actions (0..63, 64 = pass) as a transcript of square names, passes left out, which
    `Board.from_transcript` replays."""
    return "".join(Board.square_name(action) for action in actions if action != PASS_ACTION)


@cache
def _square_images() -> npt.NDArray[np.intp]:
    # images[k, pos] is the square that symmetry k sends pos to, taken from Board.transform so
    # that the batched forms cannot disagree with it.
    images = np.empty((8, 64), np.intp)
    for pos in range(64):
        board = board_from_words(1 << (63 - pos), 0, Turn.BLACK)
        for k in range(8):
            images[k, pos] = 64 - board.transform(k).get_board()[0].bit_length()
    return images


def _check_symmetry(k: int) -> int:
    if isinstance(k, bool) or not isinstance(k, (int, np.integer)) or not 0 <= k < 8:
        raise ValueError(f"k must be an int from 0 to 7, not {k!r}")
    return int(k)


def transform_observations(observations: npt.ArrayLike, k: int) -> npt.NDArray[np.generic]:
    """Observations (any shape ending in 8, 8) under symmetry k, as `Board.transform(k)` maps a
    position (k = 0 identity, 1-3 rotations clockwise, 4-7 reflections); a new array."""
    k = _check_symmetry(k)
    array = np.asarray(observations)
    if array.shape[-2:] != (8, 8):
        raise ValueError(f"observations must end in (8, 8), not {array.shape}")
    flat = array.reshape(*array.shape[:-2], 64)
    out = np.empty_like(flat)
    out[..., _square_images()[k]] = flat
    return out.reshape(array.shape)


def transform_actions(actions: npt.ArrayLike, k: int) -> npt.NDArray[np.int64]:
    """Actions (0..64, any shape) under symmetry k; the pass stays the pass."""
    k = _check_symmetry(k)
    table = np.append(_square_images()[k], PASS_ACTION).astype(np.int64)
    array = np.asarray(actions)
    if array.size and (array.min() < 0 or array.max() > PASS_ACTION):
        raise ValueError("actions must lie in 0..64")
    moved: npt.NDArray[np.int64] = table[array]
    return moved


def transform_masks(masks: npt.ArrayLike, k: int) -> npt.NDArray[np.generic]:
    """Vectors over the 65 actions (masks, policy targets; any shape ending in 65) under
    symmetry k: entry a moves to the image of square a, the pass entry stays."""
    k = _check_symmetry(k)
    array = np.asarray(masks)
    if array.shape[-1:] != (65,):
        raise ValueError(f"masks must end in 65, not {array.shape}")
    out = np.empty_like(array)
    out[..., np.append(_square_images()[k], PASS_ACTION)] = array
    return out
