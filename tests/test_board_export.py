"""Board export: write_planes into caller buffers, the SVG picture, and the shipped type stubs."""

import array
import inspect
import pathlib
import random
import re
import sysconfig
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import veltrix
from reference import BLACK, EMPTY, WHITE, RefBoard
from veltrix import Board, Turn

ROOT = pathlib.Path(__file__).resolve().parent.parent


def random_boards(count: int, seed: int) -> list[Board]:
    rng = random.Random(seed)
    boards = []
    for _ in range(count):
        cells = [rng.choice([EMPTY, EMPTY, BLACK, WHITE]) for _ in range(64)]
        model = RefBoard(cells, rng.choice([BLACK, WHITE]))
        board = Board()
        board.set_board(*model.words(), Turn.BLACK if model.to_move == BLACK else Turn.WHITE)
        boards.append(board)
    board = Board()
    while not board.is_game_over():  # and the positions of one game
        boards.append(board.clone())
        if board.is_pass():
            board.do_pass()
        else:
            board.do_move(rng.choice(board.get_legal_moves_vec()))
    return boards


BOARDS = random_boards(150, seed=4)


# write_planes -----------------------------------------------------------------------------------

@pytest.mark.parametrize("make", [
    lambda: np.zeros((3, 8, 8), np.uint8),
    lambda: np.zeros(192, np.int8),
    lambda: bytearray(192),
    lambda: array.array("B", bytes(192)),
    lambda: memoryview(bytearray(192)).cast("B", (3, 64)),
])
def test_write_planes_equals_get_board_matrix(make):
    for board in BOARDS:
        buffer = make()
        board.write_planes(buffer)
        assert np.array_equal(np.frombuffer(buffer, np.uint8).reshape(3, 8, 8), np.array(board.get_board_matrix()))


def test_write_planes_fills_one_row_of_a_batch_and_nothing_else():
    batch = np.full((len(BOARDS), 3, 8, 8), 7, np.uint8)
    for i in range(0, len(BOARDS), 2):
        BOARDS[i].write_planes(batch[i])
    assert np.array_equal(batch[::2], np.array([b.get_board_matrix() for b in BOARDS[::2]], np.uint8))
    assert (batch[1::2] == 7).all()
    # Previous contents do not matter: every byte is written.
    batch[0].fill(9)
    BOARDS[0].write_planes(batch[0])
    assert np.array_equal(batch[0], BOARDS[0].get_board_matrix())


def read_only_array():
    a = np.zeros((3, 8, 8), np.uint8)
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("make, error, message", [
    (lambda: bytes(192), ValueError, "read-only"),
    (read_only_array, ValueError, "read-only"),
    (lambda: bytearray(191), ValueError, "needs 192 items .3 x 8 x 8., got 191"),
    (lambda: bytearray(193), ValueError, "got 193"),
    (lambda: np.zeros((3, 8, 7), np.uint8), ValueError, "got 168"),
    (lambda: np.zeros((2, 3, 8, 8), np.uint8), ValueError, "got 384"),
    (lambda: np.zeros((3, 8, 16), np.uint8)[:, :, ::2], ValueError, "not C-contiguous"),
    (lambda: np.asfortranarray(np.zeros((3, 8, 8), np.uint8)), ValueError, "not C-contiguous"),
    (lambda: np.zeros((8, 8, 3), np.uint8).transpose(2, 0, 1), ValueError, "not C-contiguous"),
    (lambda: np.zeros((3, 8, 8), np.float64), TypeError, "single bytes .format 'B'., not format 'd'"),
    (lambda: np.zeros(96, np.uint16), TypeError, "not format 'H'"),
    (lambda: np.zeros((3, 8, 8), np.bool_), TypeError, r"not format '\?'"),
    (lambda: array.array("i", [0] * 48), TypeError, "not format 'i'"),
    (lambda: [0] * 192, TypeError, "'list' object does not support the buffer protocol"),
    (lambda: "-" * 192, TypeError, "'str' object does not support the buffer protocol"),
])
def test_write_planes_refuses_wrong_buffers_and_leaves_them_untouched(make, error, message):
    buffer = make()
    if isinstance(buffer, np.ndarray) and buffer.flags.writeable:
        buffer[...] = 5
    before = bytes(memoryview(buffer).tobytes()) if not isinstance(buffer, (list, str)) else list(buffer)
    with pytest.raises(error, match=f"^argument 'buffer': .*{message}"):
        Board().write_planes(buffer)
    after = bytes(memoryview(buffer).tobytes()) if not isinstance(buffer, (list, str)) else list(buffer)
    assert after == before


def test_write_planes_refuses_overlapping_words_without_writing():
    board = Board()
    board.set_board(1, 1, Turn.BLACK)
    buffer = bytearray(b"\x05" * 192)
    with pytest.raises(ValueError, match="^Invalid state$"):
        board.write_planes(buffer)
    assert buffer == bytearray(b"\x05" * 192)


def test_write_planes_into_a_buffer_in_use_keeps_its_exports_consistent():
    buffer = bytearray(192)
    view = memoryview(buffer)  # an export in progress: the bytearray cannot be resized
    Board().write_planes(view)
    assert view[27] == 0 and view[28] == 1 and view[64 + 27] == 1
    view.release()
    buffer.extend(b"x")  # the board let go of its own export
    assert len(buffer) == 193


# SVG --------------------------------------------------------------------------------------------

SVG = "{http://www.w3.org/2000/svg}"


def square_at(x: float, y: float) -> int:
    """The square under a point of the picture, from its coordinate labels' positions."""
    return int((y - 24) // 40) * 8 + int((x - 24) // 40)


@pytest.mark.parametrize("board", BOARDS[::10] + BOARDS[-3:], ids=repr)
def test_svg_shows_discs_legal_moves_and_side_to_move(board):
    svg = board.to_svg()
    assert board._repr_svg_() == svg
    root = ET.fromstring(svg)
    assert root.tag == SVG + "svg"
    circles = list(root.iter(SVG + "circle"))

    def squares(cls):
        return sorted(square_at(float(c.get("cx")), float(c.get("cy"))) for c in circles if c.get("class") == cls)

    line = board.get_board_line()
    assert squares("disc black") == [p for p in range(64) if line[p] == "X"]
    assert squares("disc white") == [p for p in range(64) if line[p] == "O"]
    assert squares("move") == board.get_legal_moves_vec()
    texts = {t.get("class"): t.text for t in root.iter(SVG + "text")}
    assert [t.text for t in root.iter(SVG + "text")][:16] == [x for pair in zip("abcdefgh", "12345678") for x in pair]
    status = texts["status"]
    if board.is_game_over():
        black, white = board.black_piece_num(), board.white_piece_num()
        assert status.startswith("Game over: " + ("draw" if black == white else
                                                  ("Black" if black > white else "White") + " wins"))
    else:
        side = "Black" if board.get_board()[2] == Turn.BLACK else "White"
        assert status == side + (" must pass" if board.is_pass() else " to move")
        assert texts["count"] == f"Black {board.black_piece_num()} \u00b7 White {board.white_piece_num()}"


def test_svg_of_overlapping_words_is_refused_and_not_shown_in_notebooks():
    board = Board()
    board.set_board(3, 1, Turn.WHITE)
    with pytest.raises(ValueError, match="^Invalid state$"):
        board.to_svg()
    assert board._repr_svg_() is None


# Stubs ------------------------------------------------------------------------------------------

def test_stubs_ship_as_a_package_type_checkers_find():
    site = pathlib.Path(sysconfig.get_paths()["platlib"])
    stubs = site / "veltrix-stubs"
    assert (stubs / "py.typed").is_file()
    assert (stubs / "__init__.pyi").read_text() == (ROOT / "veltrix.pyi").read_text()


def test_type_check_file_calls_every_public_method():
    usage = (ROOT / "tests" / "typecheck" / "api_usage.py").read_text()
    missing = []
    for name in veltrix.__all__:
        cls = getattr(veltrix, name)
        assert re.search(rf"\b{name}\b", usage), name
        for attr, value in vars(cls).items():
            # Dunders are checked by stubtest; the notebook hook is public by convention.
            public = not attr.startswith("_") or attr == "_repr_svg_"
            if public and callable(value) and not inspect.isclass(value):
                if not re.search(rf"\.{attr}\(", usage):
                    missing.append(f"{name}.{attr}")
    assert missing == []
