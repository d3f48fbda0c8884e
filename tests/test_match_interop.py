"""veltrix-match with the Othello world: an NBoard engine as a program (named by the name it
gives), openings from GGF and WTHOR files, every game written out as GGF."""

import json
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from veltrix import Board, Turn
from veltrix_match.match import Match, Program
from veltrix_match.nboard import adapter_command
from veltrix_match.openings import OpeningsError, distinct_openings, load_openings
from veltrix_match.records import read_ggf

HERE = Path(__file__).parent
ENGINE = f"{sys.executable} {HERE / 'players/nboard_engine.py'}"
RANDOM = f"{sys.executable} {HERE.parent / 'examples/players/random_player.py'}"


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", "veltrix_match", *map(str, args)], capture_output=True, text=True,
                          timeout=120, cwd=cwd)


def games_of(path):
    records = [json.loads(line) for line in path.read_text().splitlines()]
    return [r for r in records if r["type"] == "game"], records[-1]


@pytest.mark.parametrize("engine_options, name", [("--name Tester", "Tester"), ("--name ''", "nboard_engine.py")])
def test_a_match_against_an_nboard_engine_names_it_and_writes_ggf(tmp_path, engine_options, name):
    # The engine's command is relative to --nboard-dir, its working directory.
    engine = f"{sys.executable} nboard_engine.py {engine_options}"
    done = run(f"nboard:{engine}", RANDOM, "--games", 4, "--seed", 3, "--nboard-depth", 7, "--nboard-dir",
               HERE / "players", "--out", "games.jsonl", "--ggf-out", "games.ggf", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert f"({name} against random_player, 4 games)" in done.stdout.splitlines()[-1]
    games, summary = games_of(tmp_path / "games.jsonl")
    assert summary["programs"] == [name, "random_player"]
    assert summary["commands"][0][-7:] == ["--depth", "7", "--move-time", "5", "--dir", str(HERE / "players"),
                                           engine]
    written = read_ggf(tmp_path / "games.ggf")
    assert len(written) == len(games) == 4
    for game, ggf in zip(games, written):
        assert game["program1"] == name and game["error"] is None
        names = (name, "random_player") if game["black"] == 1 else ("random_player", name)
        assert (ggf.black_name, ggf.white_name) == names
        assert ggf.moves == game["moves"] and ggf.result == game["black_discs"] - game["white_discs"]
        assert (ggf.black_discs, ggf.white_discs) == (game["black_discs"], game["white_discs"])
        assert ggf.tournament == "veltrix-match" and ggf.date and ggf.date.endswith("GMT")


def test_an_nboard_engine_that_fails_stops_the_match_with_the_reason(tmp_path):
    done = run(f"nboard:{ENGINE} --mode illegal", RANDOM, "--games", 2, cwd=tmp_path)
    assert done.returncode == 1
    assert "played the illegal move d4" in done.stderr and "match stopped: Game error" in done.stderr


def wthor(transcripts):
    """A WTHOR file of (possibly unfinished) games, built from the published layout."""
    body = b""
    for moves in transcripts:
        board = Board.from_transcript(moves)
        black, white = board.black_piece_num(), board.white_piece_num()
        score = black + (64 - black - white) if black > white else black if black < white else 32
        squares = bytes(10 * int(moves[i + 1]) + "abcdefgh".index(moves[i]) + 1 for i in range(0, len(moves), 2))
        body += struct.pack("<HHHBB", 0, 0, 0, score, score) + squares.ljust(60, b"\0")
    return bytes([20, 26, 1, 1]) + struct.pack("<IHH", len(transcripts), 0, 2026) + bytes([8, 0, 0, 0]) + body


def ggf(transcripts):
    games = []
    for moves in transcripts:
        board, tokens = Board(), []
        for i in range(0, len(moves), 2):
            tokens.append(("B" if board.get_board()[2] == Turn.BLACK else "W") + f"[{moves[i:i + 2]}]")
            board.do_move_name(moves[i:i + 2])
        games.append(f"(;GM[Othello]PB[a]PW[b]TY[8]{''.join(tokens)};)")
    return "\n".join(games) + "\n"


def two_ply_lines():
    lines = []
    board = Board()
    for first in board.get_legal_moves_vec():
        after = Board.from_transcript(Board.square_name(first))
        lines += [Board.square_name(first) + Board.square_name(second) for second in after.get_legal_moves_vec()]
    return lines


@pytest.mark.parametrize("kind, name", [("wtb", "db.wtb"), ("wtb", "db.bin"), ("ggf", "db.ggf"), ("ggf", "db.txt")])
def test_openings_from_game_files_are_cut_and_counted_once_under_symmetry(tmp_path, kind, name):
    lines = two_ply_lines()
    path = tmp_path / name
    if kind == "wtb":
        path.write_bytes(wthor(lines))
    else:
        path.write_text(ggf(lines))
    openings = load_openings(path, 2)
    assert len(openings) == len(distinct_openings(2)) and set(openings) <= set(lines)
    canonical = {Board.from_transcript(t).canonical() .get_board() for t in openings}
    assert canonical == {Board.from_transcript(t).canonical().get_board() for t in distinct_openings(2)}
    assert load_openings(path, 1) == [lines[0][:2]]
    with pytest.raises(OpeningsError, match="has 3 moves"):
        load_openings(path, 3)


def test_a_match_plays_from_a_wthor_files_openings(tmp_path):
    (tmp_path / "db.wtb").write_bytes(wthor(["f5d6c3d3c4", "e6f4c3c4d3", "f5f6e6f4"]))
    done = run(RANDOM, RANDOM, "--games", 4, "--openings", "db.wtb", "--opening-plies", 3, "--out", "g.jsonl",
               cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    games, summary = games_of(tmp_path / "g.jsonl")
    # f5d6c3 and e6f4c3 are the same position mirrored in the a1-h8 diagonal: two openings.
    assert "2 openings (db.wtb)" in done.stdout
    assert [g["opening"] for g in games] == ["f5d6c3", "f5d6c3", "f5f6e6", "f5f6e6"]
    bad = run(RANDOM, RANDOM, "--openings", "db.wtb", "--opening-plies", 61, cwd=tmp_path)
    assert bad.returncode == 2 and "must be 0 to 60" in bad.stderr


def test_on_a_ray_cluster_the_adapter_runs_with_the_nodes_own_interpreter(tmp_path, monkeypatch):
    cluster = pytest.importorskip("veltrix_match.cluster", reason="Ray is not installed")
    monkeypatch.chdir(tmp_path)
    # The driver's interpreter path need not exist on a node: the node uses its own.
    command = adapter_command(f"{ENGINE} --name Tester", depth=2)
    command[0] = "/nonexistent/bin/python3"
    first = [sys.executable, str(HERE / "players/scripted_player.py"), "first"]
    match = Match([Program("Tester", command), Program("first", first)], 4, ["f5", "d3"], chunk_games=2)
    executor = cluster.RayExecutor(num_cpus=2)
    games = []
    try:
        match.run(executor, lambda pairing, result: games.append(result))
    finally:
        executor.close()
    assert sorted(game["game"] for game in games) == [0, 1, 2, 3]
    assert all(game["error"] is None and Board.from_transcript(game["moves"]).is_game_over() for game in games)
