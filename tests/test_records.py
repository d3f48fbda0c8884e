"""Game records: WTHOR and GGF files built byte by byte here from the published layouts,
replayed against the independent rules model of tests/reference.py; round trips through the
writers; the converter; bad input that must be refused (or skipped), never crash or hang."""

import json
import random
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from reference import BLACK, WHITE, RefBoard
from veltrix_match.records import (Game, read_ggf, read_jsonl, read_wthor, write_ggf, write_jsonl,
                                   write_wthor)

WIPE_OUT = "d3c3f5f4f3d2d1e3b3"  # White has no disc left after nine moves


def name(pos: int) -> str:
    return "abcdefgh"[pos % 8] + str(pos // 8 + 1)


def ref_play(squares):
    """Replays on the reference model: (black discs, white discs, colour of each move)."""
    board, colours = RefBoard.initial(), []
    for pos in squares:
        if not board.legal_moves():
            board.pass_turn()
        assert pos in board.legal_moves()
        colours.append(board.to_move)
        board.play(pos)
    return board.count(BLACK), board.count(WHITE), colours


def ref_random_game(seed, want_pass=False):
    """A complete random game on the reference model (with a pass in it when asked)."""
    rng = random.Random(seed)
    while True:
        board, squares, passed = RefBoard.initial(), [], False
        while not board.game_over():
            moves = board.legal_moves()
            if not moves:
                board.pass_turn()
                passed = True
                continue
            squares.append(rng.choice(moves))
            board.play(squares[-1])
        if passed or not want_pass:
            return squares


def stored_score(black, white):
    # WTHOR gives the empty squares to the winner (half each on a draw).
    empty = 64 - black - white
    return black + empty if black > white else black if black < white else 32


def wthor_header(count, year=2025, size=8):
    return bytes([20, 26, 1, 2]) + struct.pack("<IHH", count, 0, year) + bytes([size, 0, 22, 0])


def wthor_game(squares, score=None, tournament=0, black=0, white=0, theoretical=None):
    if score is None:
        score = stored_score(*ref_play(squares)[:2])
    moves = bytes(10 * (pos // 8 + 1) + pos % 8 + 1 for pos in squares).ljust(60, b"\0")
    return struct.pack("<HHHBB", tournament, black, white, score, score if theoretical is None else theoretical) + moves


def names_file(names, size):
    return wthor_header(0) + b"".join(n.encode("latin-1").ljust(size, b"\0") for n in names)


def squares_of(moves: str):
    return [("abcdefgh".index(moves[i]) + 8 * (int(moves[i + 1]) - 1)) for i in range(0, len(moves), 2)]


@pytest.fixture
def games():
    """A 60-move game, a wipe-out and a game with a pass, as square lists."""
    full = next(g for g in (ref_random_game(s) for s in range(50)) if len(g) == 60)
    return [full, squares_of(WIPE_OUT), ref_random_game(7, want_pass=True)]


def test_wthor_built_from_the_layout_is_read_and_replayed(tmp_path, games):
    path = tmp_path / "WTH_2025.wtb"
    path.write_bytes(wthor_header(len(games)) + b"".join(
        wthor_game(g, tournament=1, black=2 * i, white=2 * i + 1, theoretical=40) for i, g in enumerate(games)))
    (tmp_path / "WTHOR.JOU").write_bytes(names_file([f"player {i}" for i in range(6)], 20))
    (tmp_path / "WTHOR.TRN").write_bytes(names_file(["Open", "Championnat de France"], 26))
    read = read_wthor(path, players=tmp_path / "WTHOR.JOU", tournaments=tmp_path / "WTHOR.TRN")
    assert len(read) == 3
    for i, (squares, game) in enumerate(zip(games, read)):
        black, white, _ = ref_play(squares)
        assert game.moves == "".join(map(name, squares))
        assert (game.black_discs, game.white_discs) == (black, white)
        assert game.score == stored_score(black, white) and game.theoretical_score == 40
        assert (game.black_name, game.white_name) == (f"player {2 * i}", f"player {2 * i + 1}")
        assert game.tournament == "Championnat de France" and game.date == "2025"
    assert read[1].white_discs == 0 and len(read[0].moves) == 120
    assert [g.black_name for g in read_wthor(path)] == [None] * 3


@pytest.mark.parametrize("case, message", [
    ("truncated", "header says 3 games"),
    ("header too high", "header says 4 games"),
    ("header too low", "header says 2 games"),
    ("bad score", "game 1: stored score"),
    ("illegal move", "game 1: Illegal move"),
    ("not a square", "game 1:"),
    ("move after the end", "game 1: a move after the end"),
])
def test_bad_wthor_is_refused_naming_the_game_and_skipped_when_asked(tmp_path, games, case, message):
    records = [wthor_game(g) for g in games]
    count = len(records)
    if case == "bad score":
        records[1] = records[1][:6] + bytes([records[1][6] ^ 1]) + records[1][7:]
    elif case == "illegal move":
        records[1] = records[1][:8] + bytes([11]) + records[1][9:]  # a1 as the first move
    elif case == "not a square":
        records[1] = records[1][:8] + bytes([99]) + records[1][9:]
    elif case == "move after the end":
        end = 8 + len(games[1])
        records[1] = records[1][:end + 1] + bytes([11]) + records[1][end + 2:]
    data = wthor_header(count + (case == "header too high") - (case == "header too low")) + b"".join(records)
    if case == "truncated":
        data = data[:-30]
    path = tmp_path / "bad.wtb"
    path.write_bytes(data)
    with pytest.raises(ValueError, match=message):
        read_wthor(path)
    if case == "header too low":
        return  # a header promising fewer games than the file holds is never guessed at
    errors = []
    kept = read_wthor(path, strict=False, errors=errors)
    # A short file keeps its whole games; a bad game is left out.
    expected = {"truncated": [0, 1], "header too high": [0, 1, 2]}.get(case, [0, 2])
    assert [g.moves for g in kept] == ["".join(map(name, games[i])) for i in expected]
    assert len(errors) == 1 and message.split(":")[0] in errors[0]


def ggf_game(squares, *, passes=True, extra=""):
    """A GGF record as GGS writes one, with PA for passes and /eval/time on the moves."""
    board, tokens = RefBoard.initial(), []
    for pos in squares:
        if not board.legal_moves():
            if passes:
                tokens.append(f"{'B' if board.to_move == BLACK else 'W'}[PA]")
            board.pass_turn()
        tokens.append(f"{'B' if board.to_move == BLACK else 'W'}[{name(pos).upper()}/1.50/0.02]")
        board.play(pos)
    start = "-" * 27 + "O*------*O" + "-" * 27
    return (f"(;GM[Othello]PC[GGS/os]DT[2003.11.03_18:25:09.MET]PB[alpha]PW[beta]RE[+2.000]"
            f"TI[05:00//02:00]TY[8]{extra}BO[8 {start} *]{''.join(tokens)};)")


@pytest.mark.parametrize("passes", [True, False], ids=["explicit-PA", "passes-left-out"])
def test_ggf_built_by_hand_is_read_and_replayed(tmp_path, games, passes):
    text = "\n".join(ggf_game(g, passes=passes, extra="XX[unknown tag]" if i else "") for i, g in enumerate(games))
    path = tmp_path / "games.ggf"
    path.write_text("some preamble\n" + text + "\n")
    read = read_ggf(path)
    assert len(read) == 3
    for squares, game in zip(games, read):
        black, white, _ = ref_play(squares)
        assert game.moves == "".join(map(name, squares))
        assert (game.black_discs, game.white_discs) == (black, white)
        assert (game.black_name, game.white_name, game.result) == ("alpha", "beta", 2.0)


@pytest.mark.parametrize("broken, message", [
    (lambda g: g.replace("]W[", "]B[", 1), "out of turn"),
    (lambda g: g.replace("]B[", "]B[A1/0/0]B[", 1), "not a legal move"),
    (lambda g: g.replace("BO[8 ", "BO[8 *", 1).replace("-- *]", "- *]", 1), "initial position"),
    (lambda g: g.replace(";)", ""), "no closing"),
    (lambda g: g.replace("TY[8]", "TY[8] !junk"), "unexpected text"),
    (lambda g: g.replace("GM[Othello]", "GM[Go]"), "not an Othello game"),
])
def test_malformed_ggf_game_is_reported_with_its_line_or_skipped(tmp_path, games, broken, message):
    good = ggf_game(games[0])
    path = tmp_path / "bad.ggf"
    path.write_text(f"{good}\n{broken(ggf_game(games[1]))}\n{good}\n")
    with pytest.raises(ValueError, match=rf"bad.ggf:2: game 1: .*{message}"):
        read_ggf(path)
    errors = []
    assert [g.moves for g in read_ggf(path, strict=False, errors=errors)] == ["".join(map(name, games[0]))] * 2
    assert len(errors) == 1


def test_round_trips_through_every_writer(tmp_path, games):
    originals = [Game("".join(map(name, g)), *ref_play(g)[:2], f"B{i}", f"W{i}") for i, g in enumerate(games)]
    write_ggf(tmp_path / "a.ggf", originals)
    write_wthor(tmp_path / "a.wtb", originals, players=tmp_path / "a.JOU")
    write_jsonl(tmp_path / "a.jsonl", originals)
    from_ggf = read_ggf(tmp_path / "a.ggf")
    from_wthor = read_wthor(tmp_path / "a.wtb", players=tmp_path / "a.JOU")
    from_jsonl = read_jsonl(tmp_path / "a.jsonl")
    for read in (from_ggf, from_wthor, from_jsonl):
        assert [(g.moves, g.black_discs, g.white_discs, g.black_name, g.white_name) for g in read] == \
            [(g.moves, g.black_discs, g.white_discs, g.black_name, g.white_name) for g in originals]
    assert [g.result for g in from_ggf] == [float(g.black_discs - g.white_discs) for g in originals]
    ggf_text = (tmp_path / "a.ggf").read_text()
    assert "PA]" in ggf_text  # the game with a pass writes it


def test_converter_takes_veltrix_match_jsonl_to_ggf_and_wthor(tmp_path, games):
    lines = [{"type": "game", "game": i, "pairing": 0, "program1": "one", "program2": "two",
              "black": 1 + i % 2, "opening": "", "moves": "".join(map(name, g)), "winner": None,
              "black_discs": 0, "white_discs": 0, "error": None} for i, g in enumerate(games)]
    lines.append({"type": "summary", "status": "complete"})
    source = tmp_path / "match.jsonl"
    source.write_text("".join(json.dumps(line) + "\n" for line in lines))
    for target in ("out.ggf", "out.wtb"):
        result = subprocess.run([sys.executable, "-m", "veltrix_match.records", "convert", str(source),
                                 str(tmp_path / target)], capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        back = subprocess.run([sys.executable, "-m", "veltrix_match.records", "convert", str(tmp_path / target),
                               str(tmp_path / f"{target}.jsonl")], capture_output=True, text=True, timeout=60)
        assert back.returncode == 0, back.stderr
        read = [json.loads(line) for line in (tmp_path / f"{target}.jsonl").read_text().splitlines()]
        assert [r["moves"] for r in read] == [line["moves"] for line in lines[:-1]]
        assert [(r["black_name"], r["white_name"]) for r in read] == [("one", "two"), ("two", "one"), ("one", "two")]
        assert [(r["black_discs"], r["white_discs"]) for r in read] == [ref_play(g)[:2] for g in games]
    bad = subprocess.run([sys.executable, "-m", "veltrix_match.records", "convert", str(source), str(tmp_path / "x.pgn")],
                         capture_output=True, text=True, timeout=60)
    assert bad.returncode == 1 and "unknown format" in bad.stderr


def _read_or_value_error(reader, data: bytes, suffix: str) -> None:
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / f"f{suffix}"
        path.write_bytes(data)
        for strict in (True, False):
            try:
                games = reader(path, strict=strict)
            except ValueError:
                continue
            assert all(isinstance(g, Game) and 4 <= g.black_discs + g.white_discs <= 64 for g in games)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.one_of(
    st.binary(max_size=300),
    st.builds(lambda n, body: wthor_header(n) + body, st.integers(0, 5), st.binary(max_size=5 * 68)),
    st.builds(lambda games, cut: (wthor_header(len(games)) + b"".join(games))[:cut],
              st.lists(st.builds(lambda head, moves: head + moves.ljust(60, b"\0")[:60],
                                 st.binary(min_size=8, max_size=8),
                                 st.lists(st.sampled_from([0, 34, 43, 35, 46, 53, 56, 64, 65, 99]), max_size=60)
                                 .map(bytes)), max_size=4),
              st.integers(0, 400)),
))
def test_wthor_reader_returns_games_or_raises_value_error(data):
    _read_or_value_error(read_wthor, data, ".wtb")


GGF_PIECES = ["(;", ";)", "GM[Othello]", "BO[8 ", "-" * 27 + "O*------*O" + "-" * 27, " *]", "B[f5]", "W[d6]",
              "B[c3]", "W[PA]", "B[", "]", "/", "[", "x", " ", "\n", "TY[8]", "RE[+2.0]", "W[f4/1/2]"]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.one_of(st.binary(max_size=200),
                 st.lists(st.sampled_from(GGF_PIECES), max_size=40).map(lambda parts: "".join(parts).encode())))
def test_ggf_reader_returns_games_or_raises_value_error(data):
    _read_or_value_error(read_ggf, data, ".ggf")
