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


@pytest.mark.parametrize("adapter", [f"{sys.executable} -m veltrix_match.nboard",
                                     str(Path(sys.executable).parent / "veltrix-nboard")])
def test_the_adapter_written_out_is_named_by_its_name_option(tmp_path, adapter):
    if not Path(adapter.split()[0]).exists():
        pytest.skip("no veltrix-nboard console script in this install")
    program = f"{adapter} --name Mine --depth 2 '{ENGINE}'"
    done = run(program, RANDOM, "--games", 2, "--out", "games.jsonl", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    games, summary = games_of(tmp_path / "games.jsonl")
    assert summary["programs"] == ["Mine", "random_player"] and {g["program1"] for g in games} == {"Mine"}


def test_an_nboard_engine_that_fails_stops_the_match_with_the_reason(tmp_path):
    done = run(f"nboard:{ENGINE} --mode illegal", RANDOM, "--games", 2, cwd=tmp_path)
    assert done.returncode == 1
    assert "played the illegal move d4" in done.stderr and "match stopped: Game error" in done.stderr


@pytest.mark.parametrize("options, version, plays", [([], "2", True), ([], "1", False),
                                                    (["--nboard-protocol-version", "1"], "1", True)])
def test_the_protocol_version_nboard_engines_are_greeted_with_can_be_chosen(tmp_path, options, version, plays):
    done = run(f"nboard:{ENGINE} --version {version}", RANDOM, "--games", 2, *options, cwd=tmp_path)
    assert done.returncode == (0 if plays else 1), done.stderr
    assert plays or f"expected nboard {version}" in done.stderr


def test_a_forfeited_game_is_written_as_a_win_for_the_program_that_did_not_fail(tmp_path):
    # The engine's first move is illegal: the game stops with the discs even or nearly so,
    # and the board alone would name a draw or the wrong winner.
    done = run(f"nboard:{ENGINE} --mode illegal", RANDOM, "--games", 4, "--forfeit", "--out", "games.jsonl",
               "--ggf-out", "games.ggf", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    games, _ = games_of(tmp_path / "games.jsonl")
    converted = subprocess.run([sys.executable, "-m", "veltrix_match.records", "convert", "games.jsonl", "again.ggf"],
                               capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert converted.returncode == 0, converted.stderr
    for written in (read_ggf(tmp_path / "games.ggf"), read_ggf(tmp_path / "again.ggf")):
        assert len(written) == len(games) == 4
        for game, ggf in zip(games, written):
            assert game["error"] is not None and game["winner"] == 2
            assert ggf.moves == game["moves"]
            assert ggf.result == (64.0 if game["black"] == 2 else -64.0)


def test_a_ggf_out_that_cannot_be_written_stops_the_match_with_one_line(tmp_path):
    done = run(RANDOM, RANDOM, "--games", 2, "--ggf-out", "/dev/full", cwd=tmp_path)
    assert done.returncode == 1
    assert "Traceback" not in done.stderr
    assert "match stopped: [Errno 28] cannot write /dev/full: No space left on device" in done.stderr


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


# --opening-plies cuts a transcript file's lines as it cuts a game file's games; with the
# built-in set, which has nothing longer to cut, it is a usage error rather than ignored.
@pytest.mark.parametrize("plies, shown, played", [
    ((), "4 openings (book.txt)", ["f5d6c3d3c4", "f5d6c3d3c4", "e6f4c3c4d3", "e6f4c3c4d3"]),
    (("--opening-plies", 3), "2 openings (book.txt)", ["f5d6c3", "f5d6c3", "f5f6e6", "f5f6e6"]),
])
def test_opening_plies_cut_the_lines_of_a_transcript_file(tmp_path, plies, shown, played):
    (tmp_path / "book.txt").write_text("f5d6c3d3c4\ne6f4c3c4d3\nf5f6e6f4\nf5d6\n")
    done = run(RANDOM, RANDOM, "--games", 4, "--openings", "book.txt", *plies, "--out", "g.jsonl", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert shown in done.stdout
    assert [g["opening"] for g in games_of(tmp_path / "g.jsonl")[0]] == played


def test_opening_plies_without_an_openings_file_is_a_usage_error(tmp_path):
    done = run(RANDOM, RANDOM, "--games", 2, "--opening-plies", 3, cwd=tmp_path)
    assert done.returncode == 2 and "--opening-plies cuts the games or lines of an --openings file" in done.stderr
    short = tmp_path / "short.txt"
    short.write_text("f5d6\n")
    done = run(RANDOM, RANDOM, "--games", 2, "--openings", short, "--opening-plies", 3, cwd=tmp_path)
    assert done.returncode == 2 and "no line of" in done.stderr and "has 3 moves" in done.stderr


def test_on_a_ray_cluster_the_adapter_runs_with_the_nodes_own_interpreter(tmp_path, monkeypatch):
    pytest.importorskip("ray", reason="Ray is not installed (pip install 'veltrix[cluster]')")
    from veltrix_match import cluster
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
