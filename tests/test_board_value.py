"""Board as a Python value: equality, pickling and copying, repr, square names, transcripts and
symmetries, each checked against the square-by-square model over many random positions."""

import copy
import pickle
import random
import re

import pytest

from reference import BLACK, EMPTY, WHITE, RefBoard
from veltrix import Board, Color, Turn

FILES = "abcdefgh"


def turn_of(color: int) -> Turn:
    return Turn.BLACK if color == BLACK else Turn.WHITE


def board_of(model: RefBoard) -> Board:
    board = Board()
    board.set_board(*model.words(), turn_of(model.to_move))
    return board


def name_of(pos: int) -> str:
    row, column = divmod(pos, 8)
    return FILES[column] + str(row + 1)


def random_game(rng: random.Random, plies: int | None = None) -> tuple[RefBoard, list[int], int]:
    """A game of random legal moves on the model: (position, moves played, passes made)."""
    model, moves, passes = RefBoard.initial(), [], 0
    limit = rng.randrange(61) if plies is None else plies
    while len(moves) < limit and not model.game_over():
        legal = model.legal_moves()
        if not legal:
            model.pass_turn()
            passes += 1
            continue
        move = rng.choice(legal)
        model.play(move)
        moves.append(move)
    return model, moves, passes


def random_positions(count: int, seed: int) -> list[RefBoard]:
    """Reachable positions and arbitrary disjoint ones, either side to move."""
    rng = random.Random(seed)
    positions = [random_game(rng)[0] for _ in range(count // 2)]
    for _ in range(count - len(positions)):
        cells = [rng.choice([EMPTY, EMPTY, BLACK, WHITE]) for _ in range(64)]
        positions.append(RefBoard(cells, rng.choice([BLACK, WHITE])))
    return positions


POSITIONS = random_positions(300, seed=11)


# Equality and hashing ---------------------------------------------------------------------------

def test_equality_compares_the_three_fields():
    for model in POSITIONS[:100]:
        board = board_of(model)
        assert board == board_of(model) and not board != board_of(model)
        player, opponent, turn = board.get_board()
        other_turn = Turn.WHITE if turn == Turn.BLACK else Turn.BLACK
        for changed in [(player ^ 1, opponent, turn), (player, opponent ^ (1 << 40), turn),
                        (player, opponent, other_turn), (opponent, player, turn)]:
            if changed == (player, opponent, turn):
                continue
            other = Board()
            other.set_board(*changed)
            assert board != other and not board == other


@pytest.mark.parametrize("other", [None, 0, "Board", (0x0000000810000000, 0x0000001008000000, Turn.BLACK),
                                   Turn.BLACK, object()])
def test_equality_with_other_types_is_not_implemented(other):
    board = Board()
    assert board.__eq__(other) is NotImplemented and board.__ne__(other) is NotImplemented
    assert (board == other) is False and (board != other) is True


@pytest.mark.parametrize("operator", ["__lt__", "__le__", "__gt__", "__ge__"])
def test_boards_have_no_order(operator):
    assert getattr(Board(), operator)(Board()) is NotImplemented
    with pytest.raises(TypeError):
        sorted([Board(), Board()])


def test_board_is_unhashable_and_its_triple_is_the_key():
    assert Board.__hash__ is None
    with pytest.raises(TypeError, match="unhashable"):
        hash(Board())
    with pytest.raises(TypeError):
        {Board()}  # noqa: B018
    seen = {board_of(model).get_board() for model in POSITIONS}
    assert board_of(POSITIONS[0]).get_board() in seen
    assert Board() in [Board()]  # membership by ==


# Pickling and copying -------------------------------------------------------------------------

@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip_every_protocol(protocol):
    boards = [board_of(model) for model in POSITIONS]
    loaded = pickle.loads(pickle.dumps(boards, protocol))
    assert [type(b) for b in loaded] == [Board] * len(boards)
    assert [b.get_board() for b in loaded] == [b.get_board() for b in boards]
    # The copies are independent of the originals.
    loaded[0].set_board(0, 0, Turn.WHITE)
    assert boards[0] == board_of(POSITIONS[0])


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_enum_members_unpickle_as_the_members(protocol):
    made_by_get_board = Board().get_board()[2]  # equal to Turn.BLACK, not the same object
    members = [Turn.BLACK, Turn.WHITE, Color.EMPTY, Color.BLACK, Color.WHITE, made_by_get_board]
    loaded = pickle.loads(pickle.dumps(members, protocol))
    assert all(a is b for a, b in zip(loaded, [Turn.BLACK, Turn.WHITE, Color.EMPTY, Color.BLACK, Color.WHITE,
                                                Turn.BLACK]))


# Written by an earlier build: pickles must keep loading whatever Python (3.12, 3.13) and build
# wrote them. White to move, words 0xFFFF000000000001 and 0xF0, then Turn.WHITE and Color.EMPTY.
STORED_PICKLES = {
    0: b"(cveltrix\nBoard\np0\n(tRp1\n(L18446462598732840961L\nI240\nI1\ntp2\nbc__builtin__\ngetattr\np3\n"
       b"(cveltrix\nTurn\np4\nVWHITE\np5\ntp6\nRp7\ng3\n(cveltrix\nColor\np8\nVEMPTY\np9\ntp10\nRp11\ntp12\n.",
    2: b"\x80\x02cveltrix\nBoard\nq\x00)Rq\x01\x8a\t\x01\x00\x00\x00\x00\x00\xff\xff\x00K\xf0K\x01\x87q\x02bc"
       b"__builtin__\ngetattr\nq\x03cveltrix\nTurn\nq\x04X\x05\x00\x00\x00WHITEq\x05\x86q\x06Rq\x07h\x03cveltrix\n"
       b"Color\nq\x08X\x05\x00\x00\x00EMPTYq\t\x86q\nRq\x0b\x87q\x0c.",
    5: b"\x80\x05\x95\x84\x00\x00\x00\x00\x00\x00\x00\x8c\x07veltrix\x94\x8c\x05Board\x94\x93\x94)R\x94\x8a\t\x01"
       b"\x00\x00\x00\x00\x00\xff\xff\x00K\xf0K\x01\x87\x94b\x8c\x08builtins\x94\x8c\x07getattr\x94\x93\x94\x8c\x07"
       b"veltrix\x94\x8c\x04Turn\x94\x93\x94\x8c\x05WHITE\x94\x86\x94R\x94h\x07\x8c\x07veltrix\x94\x8c\x05Color"
       b"\x94\x93\x94\x8c\x05EMPTY\x94\x86\x94R\x94\x87\x94.",
}


@pytest.mark.parametrize("protocol", sorted(STORED_PICKLES))
def test_stored_pickles_still_load(protocol):
    board, turn, color = pickle.loads(STORED_PICKLES[protocol])
    assert board.get_board() == (0xFFFF000000000001, 0xF0, Turn.WHITE)
    assert turn is Turn.WHITE and color is Color.EMPTY


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy, Board.clone])
def test_copies_are_equal_and_independent(copier):
    for model in POSITIONS[:50]:
        board = board_of(model)
        twin = copier(board)
        assert type(twin) is Board and twin == board and twin is not board
        twin.set_board(0, 0, Turn.BLACK)
        assert board == board_of(model)


def test_deepcopy_keeps_shared_references_shared():
    board = Board()
    pair = copy.deepcopy([board, board, Turn.WHITE])
    assert pair[0] is pair[1] and pair[0] is not board and pair[2] is Turn.WHITE
    assert copy.copy(Color.BLACK) is Color.BLACK and copy.deepcopy(Turn.BLACK) is Turn.BLACK


@pytest.mark.parametrize("state, error, message", [
    ((1, 2), TypeError, r"^argument 'state': __setstate__ expects a tuple of 3 items \(player bits, opponent bits, "
                        r"side to move\), got 2$"),
    ((), TypeError, "^argument 'state': __setstate__ expects a tuple of 3 items .*, got 0$"),
    ((1, 2, 3, 4), TypeError, "^argument 'state': __setstate__ expects a tuple of 3 items .*, got 4$"),
    ([1, 2, 0], TypeError, r"^argument 'state': 'list' object is not a tuple \(player_board, opponent_board, turn\)$"),
    (("1", 2, 0), TypeError, "^argument 'state': 'str' object cannot be interpreted as an integer$"),
    ((-1, 2, 0), OverflowError, None),
    ((2**64, 2, 0), OverflowError, None),
    ((1, 2, 2), ValueError, "^Invalid turn in state: 2$"),
    ((1, 2, -1), ValueError, "^Invalid turn in state: -1$"),
    ((1, 2, Turn.BLACK), TypeError, "^argument 'state': 'Turn' object cannot be interpreted"),
])
def test_setstate_refuses_bad_state_and_keeps_the_board(state, error, message):
    board = Board()
    with pytest.raises(error, match=message):
        board.__setstate__(state)
    assert board == Board()


# repr -------------------------------------------------------------------------------------------

def test_repr_names_class_line_and_side_to_move():
    for model in POSITIONS:
        side = "Turn.BLACK" if model.to_move == BLACK else "Turn.WHITE"
        assert repr(board_of(model)) == f"<Board '{model.line()}' {side}>"
    assert repr(Turn.BLACK) == "Turn.BLACK" and repr(Color.EMPTY) == "Color.EMPTY"
    assert str(Board()).startswith(" |abcdefgh\n")


def test_repr_of_overlapping_words_shows_the_words():
    board = Board()
    board.set_board(0x8000000000000001, 1, Turn.WHITE)
    assert repr(board) == "<Board player=0x8000000000000001 opponent=0x0000000000000001 Turn.WHITE>"


# Square names -----------------------------------------------------------------------------------

def test_square_names_round_trip():
    for pos in range(64):
        name = name_of(pos)
        assert Board.square_name(pos) == name
        assert Board.parse_square(name) == pos == Board.parse_square(name.upper())
        assert Board().parse_square(name) == pos  # also through an instance
    assert [Board.parse_square(n) for n in ("a1", "h8", "d3", "H1", "a8")] == [0, 63, 19, 7, 56]


@pytest.mark.parametrize("name", ["", "a", "a0", "a9", "i1", "A0", "1a", " a1", "a1 ", "a1\n", "aa", "a11",
                                  "é1", "a\u0661", "\x00\x00", "`1", "{1"])
def test_parse_square_refuses_names_and_quotes_them(name):
    with pytest.raises(ValueError, match=f"^Invalid square name: {re.escape(repr(name))}$"):
        Board.parse_square(name)


@pytest.mark.parametrize("name", ["a1" * 10**6, "z" * 41, "\u00e9" * 1000, "a1\n" * 50])
@pytest.mark.parametrize("method", ["parse_square", "do_move_name"])
def test_a_long_square_name_is_quoted_cut(method, name):
    board = Board()
    call = Board.parse_square if method == "parse_square" else board.do_move_name
    expected = f"Invalid square name: {name[:40]!r}... (cut; {len(name)} characters in all)"
    with pytest.raises(ValueError, match=f"^{re.escape(expected)}$"):
        call(name)
    assert board == Board()


@pytest.mark.parametrize("call, error, message", [
    (lambda: Board.parse_square(19), TypeError, "^argument 'name': 'int' object cannot be converted to 'str'$"),
    (lambda: Board.parse_square(b"a1"), TypeError, "^argument 'name': 'bytes' object"),
    (lambda: Board.parse_square(), TypeError, r"^Board.parse_square\(\) missing 1 required positional argument"),
    (lambda: Board.square_name(64), ValueError, "^Invalid position: 64$"),
    (lambda: Board.square_name(2**64), OverflowError, None),
    (lambda: Board.square_name(-1), OverflowError, None),
    (lambda: Board.square_name("a1"), TypeError, "^argument 'pos': 'str' object cannot be interpreted"),
    (lambda: Board.from_transcript(None), TypeError, "^argument 'text': 'NoneType' object cannot be converted"),
    (lambda: Board().transform("1"), TypeError, "^argument 'k': 'str' object cannot be interpreted as an integer$"),
    (lambda: Board().transform(1.0), TypeError, "^argument 'k': 'float' object"),
    (lambda: Board().canonical(0), TypeError, r"^Board.canonical\(\) takes 0 positional arguments but 1 was given$"),
    (lambda: Color.BLACK.__copy__(1), TypeError, r"^Color.__copy__\(\) takes 0 positional arguments but 1 was given$"),
    (lambda: Turn.BLACK.__deepcopy__(), TypeError, r"^Turn.__deepcopy__\(\) missing 1 required positional argument"),
    (lambda: Board().__deepcopy__(), TypeError, r"^Board.__deepcopy__\(\) missing 1 required positional argument"),
])
def test_argument_errors(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_do_move_name_plays_like_do_move():
    rng = random.Random(3)
    for model in POSITIONS[:150]:
        legal = model.legal_moves()
        board = board_of(model)
        for pos in set(rng.sample(range(64), 6)) - set(legal):
            with pytest.raises(ValueError, match="^Invalid move$"):
                board.do_move_name(name_of(pos))
        with pytest.raises(ValueError, match="^Invalid square name: 'j9'$"):
            board.do_move_name("j9")
        assert board == board_of(model)
        for pos in legal:
            by_name, by_index = board_of(model), board_of(model)
            by_name.do_move_name(name_of(pos).upper() if pos % 2 else name_of(pos))
            by_index.do_move(pos)
            assert by_name == by_index


# Transcripts ------------------------------------------------------------------------------------

def test_transcripts_of_random_games_reach_the_same_position():
    rng = random.Random(5)
    games_with_passes = 0
    for _ in range(200):
        model, moves, passes = random_game(rng, plies=rng.choice([rng.randrange(61), 60]))
        games_with_passes += passes > 0
        text = "".join(name_of(m) for m in moves)
        # A pass is made only when a next move is read, as the model's games do.
        assert Board.from_transcript(text) == board_of(model)
        assert Board.from_transcript(text.upper()) == board_of(model)
    assert games_with_passes > 0  # implicit passes were exercised


def test_empty_transcript_is_the_initial_position():
    assert Board.from_transcript("") == Board()


def test_transcript_errors_name_the_first_bad_move_and_its_index():
    rng = random.Random(9)
    for _ in range(100):
        model, moves, _ = random_game(rng)
        text = "".join(name_of(m) for m in moves)
        if model.game_over():
            bad = "a1"
        else:
            # With no move the side to move passes first; the move is then the other side's.
            legal = set(model.legal_moves() or model.legal_moves(model.opponent))
            bad = name_of(rng.choice([p for p in range(64) if p not in legal]))
        tail = name_of(rng.randrange(64))
        with pytest.raises(ValueError, match=f"^Illegal move '{bad}' at index {len(moves)} of the transcript$"):
            Board.from_transcript(text + bad + tail)


@pytest.mark.parametrize("text, message", [
    ("f5d6c3x3", "Unparsable move 'x3' at index 3"),
    ("f5d6c", "Unparsable move 'c' at index 2"),
    ("f5 d6", "Unparsable move ' d' at index 1"),
    ("f5é6", "Unparsable move 'é6' at index 1"),
    ("F5D6C3D3C4A1", "Illegal move 'A1' at index 5"),
    ("f5f5", "Illegal move 'f5' at index 1"),
    ("zzf5", "Unparsable move 'zz' at index 0"),
])
def test_transcript_errors(text, message):
    with pytest.raises(ValueError, match=f"^{message} of the transcript$"):
        Board.from_transcript(text)


def test_moves_after_the_end_of_the_game_are_illegal():
    rng = random.Random(2)
    model, moves, _ = random_game(rng, plies=60)
    while not model.game_over():
        model, moves, _ = random_game(rng, plies=60)
    text = "".join(name_of(m) for m in moves)
    empty = [p for p in range(64) if model.cells[p] == EMPTY] or [0]
    with pytest.raises(ValueError, match=f"^Illegal move '{name_of(empty[0])}' at index {len(moves)} "):
        Board.from_transcript(text + name_of(empty[0]))


# Symmetries -------------------------------------------------------------------------------------
# The documented order, as operations on the grid as str() prints it (row "1" on top).

def rotate_clockwise(grid):
    return [list(row) for row in zip(*grid[::-1])]


GRID_OPERATIONS = [
    lambda g: g,
    rotate_clockwise,
    lambda g: rotate_clockwise(rotate_clockwise(g)),
    lambda g: rotate_clockwise(rotate_clockwise(rotate_clockwise(g))),
    lambda g: [row[::-1] for row in g],
    lambda g: g[::-1],
    lambda g: [list(row) for row in zip(*g)],
    lambda g: [list(row)[::-1] for row in zip(*g)][::-1],
]


def apply_to_cells(k: int, cells: list) -> list:
    grid = [cells[r * 8:r * 8 + 8] for r in range(8)]
    return [cell for row in GRID_OPERATIONS[k](grid) for cell in row]


def test_grid_operations_match_the_documented_corners():
    corners = {0: "a1", 1: "h1", 2: "h8", 3: "a8", 4: "h1", 5: "a8", 6: "a1", 7: "h8"}
    for k, corner in corners.items():
        names = apply_to_cells(k, [name_of(p) for p in range(64)])
        assert names.index("a1") == Board.parse_square(corner)
    # The two diagonal reflections keep their own diagonal.
    assert [apply_to_cells(6, list(range(64)))[p * 9] for p in range(8)] == [p * 9 for p in range(8)]
    assert [apply_to_cells(7, list(range(64)))[7 + p * 7] for p in range(8)] == [7 + p * 7 for p in range(8)]


@pytest.mark.parametrize("k", range(8))
def test_transform_moves_discs_and_legal_moves_with_the_board(k):
    for model in POSITIONS:
        image = board_of(model).transform(k)
        cells = apply_to_cells(k, model.cells)
        moved = RefBoard(cells, model.to_move)
        assert image.get_board() == (*moved.words(), turn_of(model.to_move))
        # Legal moves are the originals carried by the same map.
        source = apply_to_cells(k, list(range(64)))  # square of the original at each new square
        legal = set(model.legal_moves())
        assert image.get_legal_moves_vec() == [p for p in range(64) if source[p] in legal] == moved.legal_moves()


def test_symmetries_form_the_group_of_the_square():
    asymmetric = [board_of(m) for m in POSITIONS if len({tuple(apply_to_cells(k, m.cells)) for k in range(8)}) == 8]
    assert len(asymmetric) > 100
    orders = [1, 4, 2, 4, 2, 2, 2, 2]
    for board in asymmetric[:100]:
        images = [board.transform(k) for k in range(8)]
        for k, order in enumerate(orders):
            walk = board
            for step in range(1, order + 1):
                walk = walk.transform(k)
                assert (walk == board) == (step == order)
        # Any two symmetries in a row are one of the eight.
        for a in range(8):
            for b in range(8):
                assert images[a].transform(b) in images
        # The rotation by 90 degrees and one mirror generate all eight.
        generated, frontier = [board], [board]
        while frontier:
            fresh = [g for f in frontier for g in (f.transform(1), f.transform(4)) if g not in generated]
            frontier = []
            for g in fresh:
                if g not in generated:
                    generated.append(g)
                    frontier.append(g)
        assert sorted(g.get_board()[:2] for g in generated) == sorted(i.get_board()[:2] for i in images)


def test_canonical_is_the_least_image_and_the_same_for_all_images():
    for model in POSITIONS:
        board = board_of(model)
        images = [board.transform(k) for k in range(8)]
        least = min(images, key=lambda b: b.get_board()[:2])
        assert board.canonical() == least
        assert all(image.canonical() == least for image in images)
    assert Board().canonical().get_board()[2] == Turn.BLACK


@pytest.mark.parametrize("k", [8, 9, -1, 2**64, -2**70])
def test_transform_refuses_k_outside_0_to_7(k):
    with pytest.raises(ValueError, match=f"^Invalid symmetry \\(0 to 7\\): {k}$"):
        Board().transform(k)
