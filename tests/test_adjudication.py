"""Exact adjudication: Arena.play_adjudicated(n, N) and veltrix-match --adjudicate-empties."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

import veltrix
from veltrix_match import builtin_openings

HERE = Path(__file__).parent
ENDGAME = [sys.executable, str(HERE / "players/endgame_player.py")]
SCRIPTED = [sys.executable, str(HERE / "players/scripted_player.py")]
SCRIPT = Path(sys.executable).parent / "veltrix-match"
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "veltrix_match"]
OPENINGS = builtin_openings(5)[:6]


def empties(board):
    return 64 - board.black_piece_num() - board.white_piece_num()


def replay(moves, plies=None):
    """The position after the first `plies` moves of a transcript (all of them by default)."""
    squares = [moves[i:i + 2] for i in range(0, len(moves), 2)]
    return veltrix.Board.from_transcript("".join(squares[:plies]))


# Both programs solve exactly from 12 empty squares on, so the arena's solve from 12 (or
# fewer) must end every game exactly as they do: the same moves, winner and discs.
@pytest.mark.parametrize("from_empties", [12, 8])
def test_adjudicated_games_end_as_perfect_players_end_them(from_empties):
    players = ([*ENDGAME, "12", "2"], [*ENDGAME, "12", "1"])
    played = veltrix.Arena(*players).play(12, openings=OPENINGS, time_limit=60, progress=False)
    judged = veltrix.Arena(*players).play_adjudicated(12, from_empties, openings=OPENINGS, time_limit=60,
                                                      progress=False)
    assert [tuple(record) for record in judged] == [tuple(record) for record in played]
    for record in played:
        assert record.adjudicated_ply is None
    for record in judged:
        ply = record.adjudicated_ply
        assert ply is not None and record.error is None
        # The first position of the game with `from_empties` or fewer empty squares.
        assert empties(replay(record.moves, ply)) <= from_empties < empties(replay(record.moves, ply - 1))
        final = replay(record.moves)
        assert final.is_game_over()
        assert (final.black_piece_num(), final.white_piece_num()) == (record.black_discs, record.white_discs)


def test_a_program_is_never_asked_once_the_game_is_adjudicated():
    # It answers garbage to any position with 50 discs or more: 14 empty squares or fewer.
    failing = [*SCRIPTED, "garbage-at-discs", "50"]
    records = veltrix.Arena([*ENDGAME, "0"], failing).play_adjudicated(
        4, 16, openings=OPENINGS[:2], time_limit=30, progress=False, on_error="forfeit")
    assert all(record.error is None and record.adjudicated_ply is not None for record in records)


def test_play_keeps_its_signature_and_play_adjudicated_has_its_own():
    assert veltrix.Arena.play_adjudicated.__text_signature__ == (
        "($self, n, adjudicate_empties, *, openings=None, time_limit=5.0, concurrency=2, on_error='raise', "
        "progress=True, on_progress=None)")
    with pytest.raises(TypeError, match="adjudicate_empties"):
        veltrix.Arena(["true"], ["true"]).play(2, adjudicate_empties=8)


def test_the_repr_of_a_record_is_unchanged_by_the_new_attribute():
    record = veltrix.Arena([*ENDGAME, "12"], [*ENDGAME, "12"]).play_adjudicated(
        2, 10, openings=OPENINGS[:1], time_limit=60, progress=False)[0]
    assert repr(record).startswith("veltrix.Arena.GameRecord(black=1, opening=")
    assert "adjudicated" not in repr(record) and len(record) == 7


@pytest.mark.parametrize(
    "value, error, message",
    [(-1, OverflowError, None), ("8", TypeError, "adjudicate_empties"), (65, ValueError, "adjudicate_empties")],
)
def test_bad_adjudicate_empties_are_refused(value, error, message):
    with pytest.raises(error, match=message):
        veltrix.Arena(["true"], ["true"]).play_adjudicated(2, value)


def test_the_command_marks_adjudicated_games_and_agrees_with_playing_out(tmp_path):
    program = " ".join([*ENDGAME, "12", "2"])
    args = [program, " ".join([*ENDGAME, "12", "1"]), "--games", "8", "--seed", "3", "--time-limit", "60"]
    out = subprocess.run([*COMMAND, *args, "--out", "out.jsonl"], cwd=tmp_path, capture_output=True, text=True,
                         timeout=300)
    judged = subprocess.run([*COMMAND, *args, "--adjudicate-empties", "12", "--out", "judged.jsonl"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=300)
    assert out.returncode == 0 and judged.returncode == 0, judged.stderr
    read = lambda name: [json.loads(line) for line in (tmp_path / name).read_text().splitlines()]
    played, adjudicated = read("out.jsonl"), read("judged.jsonl")
    for game, same in zip(played[:-1], adjudicated[:-1]):
        assert game["adjudicated"] is False and game["adjudicated_ply"] is None
        assert same["adjudicated"] is True and same["adjudicated_ply"] > len(same["opening"]) // 2
        keys = ("moves", "winner", "black_discs", "white_discs")
        assert [game[key] for key in keys] == [same[key] for key in keys]
    assert adjudicated[-1]["adjudicate_empties"] == 12 and played[-1]["adjudicate_empties"] is None
    assert "Adjudicated: 8 of 8 games, solved exactly from 12 empty squares" in judged.stdout
    assert judged.stdout.count(", adjudicated at ply ") == 8
