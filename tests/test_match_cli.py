"""veltrix-match end to end: real player programs, the printed report and the JSONL file."""

import itertools
import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import veltrix_match
from veltrix import Board
from veltrix_match import main

ROOT = Path(__file__).resolve().parent.parent
SEARCH = f"{sys.executable} {ROOT / 'examples/players/search_player.py'}"
RANDOM = f"{sys.executable} {ROOT / 'examples/players/random_player.py'}"
SCRIPTED = f"{sys.executable} {Path(__file__).parent / 'players/scripted_player.py'}"
SCRIPT = Path(sys.executable).parent / "veltrix-match"


def run(*args, cwd):
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "veltrix_match"]
    return subprocess.run([*command, *map(str, args)], capture_output=True, text=True, timeout=120, cwd=cwd)


def read_jsonl(path):
    records = [json.loads(line) for line in path.read_text().splitlines()]
    assert records[-1]["type"] == "summary"
    assert all(record["type"] == "game" for record in records[:-1])
    return records[:-1], records[-1]


def check_game(game):
    """The record against a replay of its transcript: a finished game, discs and winner."""
    assert game["moves"].lower().startswith(game["opening"].lower())
    board = Board.from_transcript(game["moves"])
    assert board.is_game_over()
    assert (board.black_piece_num(), board.white_piece_num()) == (game["black_discs"], game["white_discs"])
    white = 3 - game["black"]
    expected = game["black"] if board.is_black_win() else white if board.is_white_win() else None
    assert game["winner"] == expected and game["error"] is None


def test_head_to_head_prints_the_table_and_writes_every_game(tmp_path):
    openings = ["f5d6c3", "d3c5", "# a comment", "", "e6f4e3f6"]
    (tmp_path / "book.txt").write_text("\n".join(openings) + "\n")
    done = run(f"{SEARCH} 3", RANDOM, "--games", 8, "--openings", "book.txt", "--out", "games.jsonl",
               "--time-limit", 10, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.strip().splitlines()
    assert lines[-1].startswith("Elo difference: ") and "search_player 3 against random_player" in lines[-1]
    assert "Pentanomial" in done.stdout and "nan" not in done.stdout.lower()

    games, summary = read_jsonl(tmp_path / "games.jsonl")
    assert [game["game"] for game in games] == list(range(8))
    book = [opening for opening in openings if opening and not opening.startswith("#")]
    for game in games:
        assert (game["program1"], game["program2"], game["pairing"]) == ("search_player 3", "random_player", 0)
        # Pairs of games share an opening, command A Black in the first of the pair.
        assert game["opening"] == book[(game["game"] // 2) % len(book)]
        assert game["black"] == 1 + game["game"] % 2
        check_game(game)

    points = [1.0 if g["winner"] == 1 else 0.0 if g["winner"] == 2 else 0.5 for g in games]
    pentanomial = [0] * 5
    for first, second in zip(points[::2], points[1::2]):
        pentanomial[int(2 * (first + second))] += 1
    (pairing,) = summary["pairings"]
    assert (pairing["wins"], pairing["losses"], pairing["draws"]) == (
        points.count(1.0), points.count(0.0), points.count(0.5))
    assert pairing["pentanomial"] == pentanomial
    assert summary["status"] == "complete" and summary["games_played"] == 8 and summary["time_limit"] == 10


def test_round_robin_of_three_programs_plays_every_pair(tmp_path):
    done = run(f"{SEARCH} 3", RANDOM, f"{SEARCH} 1", "--games", 4, "--seed", 11, "--out", "rr.jsonl",
               cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "Standings" in done.stdout and "built-in, seed 11" in done.stdout
    games, summary = read_jsonl(tmp_path / "rr.jsonl")
    names = ["search_player 3", "random_player", "search_player 1"]
    assert sorted(game["game"] for game in games) == list(range(12))
    for index, (first, second) in enumerate(itertools.combinations(names, 2)):
        mine = [game for game in games if game["pairing"] == index]
        assert [game["game"] for game in mine] == list(range(4 * index, 4 * index + 4))
        assert {(game["program1"], game["program2"]) for game in mine} == {(first, second)}
        for game in mine:
            check_game(game)
    # Built-in openings: the same shuffled list for every pairing, each opening twice.
    openings = [game["opening"] for game in games if game["pairing"] == 0]
    assert openings[0] == openings[1] != openings[2] == openings[3] and len(openings[0]) == 12
    assert sorted(row["program"] for row in summary["standings"]) == sorted(names)
    assert sum(row["points"] for row in summary["standings"]) == 12
    assert all(row["games"] == 8 for row in summary["standings"])


def test_sprt_stops_early_on_a_clearly_stronger_program(tmp_path):
    done = run(f"{SEARCH} 4", RANDOM, "--games", 200, "--sprt", 0, 200, "--chunk-games", 8,
               "--out", "sprt.jsonl", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "H1 accepted" in done.stdout and "stopped by the SPRT" in done.stdout
    games, summary = read_jsonl(tmp_path / "sprt.jsonl")
    assert summary["status"] == "sprt" and summary["sprt"]["decision"] == "H1"
    assert len(games) == summary["games_played"] < 200 and len(games) % 2 == 0
    assert summary["sprt"]["llr"] >= summary["sprt"]["upper"]


def test_sprt_does_not_stop_a_match_between_equal_programs(tmp_path):
    # Two copies of one deterministic program: every pair of games ends 1-1.
    done = run(f"{SCRIPTED} first", f"{SCRIPTED} first", "--games", 16, "--sprt", 0, 20,
               "--out", "equal.jsonl", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "no decision yet" in done.stdout
    assert "scripted_player first vs scripted_player first (2)" in done.stdout
    _, summary = read_jsonl(tmp_path / "equal.jsonl")
    assert summary["games_played"] == 16 and summary["status"] == "complete"
    assert summary["pairings"][0]["pentanomial"] == [0, 0, 8, 0, 0]
    assert summary["sprt"]["decision"] is None and summary["sprt"]["llr"] < 0


def test_a_failing_program_stops_the_match_unless_failures_are_forfeits(tmp_path):
    args = (f"{SCRIPTED} first", f"{SCRIPTED} garbage", "--games", 4, "--time-limit", 2)
    stopped = run(*args, "--out", "stopped.jsonl", cwd=tmp_path)
    assert stopped.returncode == 1
    assert "match stopped: Game error:" in stopped.stderr and "--forfeit" in stopped.stderr
    assert stopped.stdout.strip().endswith("no game was played (scripted_player first against scripted_player garbage)")
    games, summary = read_jsonl(tmp_path / "stopped.jsonl")
    assert games == [] and summary["status"] == "error" and "Game error" in summary["error"]

    forfeited = run(*args, "--forfeit", "--out", "forfeit.jsonl", cwd=tmp_path)
    assert forfeited.returncode == 0, forfeited.stderr
    assert "Forfeits: scripted_player garbage 4" in forfeited.stdout
    games, summary = read_jsonl(tmp_path / "forfeit.jsonl")
    assert [game["winner"] for game in games] == [1, 1, 1, 1]
    assert all(game["error"] for game in games)
    assert summary["pairings"][0]["forfeits"] == [0, 4]


#: Openings for a program that fails at a known game: only the pairs from "f5" and "d3" (games
#: 4, 5 and 6, 7) pass through a position of 5 discs, and White is to move there, so command B
#: fails in games 4 and 6, its White games.
FAILING_BOOK = "f5d6\nc4e3\nf5\nd3\n"
FAILING = (f"{SCRIPTED} first", f"{SCRIPTED} garbage-at-discs 5")


# Without forfeits the chunk in which a program fails is given up at once, so the games of
# the chunks before it are what is reported: chunks of 2 and of 4 end where the failure begins.
@pytest.mark.parametrize("chunking", [["--chunk-games", "2"], ["--chunk-games", "4"]], ids=["chunks of 2", "chunks of 4"])
def test_without_forfeits_the_games_before_the_first_failure_are_reported(tmp_path, chunking):
    (tmp_path / "book.txt").write_text(FAILING_BOOK)
    done = run(*FAILING, "--games", 12, "--openings", "book.txt", *chunking, "--out", "games.jsonl", cwd=tmp_path)
    assert done.returncode == 1, done.stderr
    assert "match stopped: Game error: WhiteInvalidMove (--forfeit scores" in done.stderr
    assert "Games played: 4 of 12" in done.stdout
    games, summary = read_jsonl(tmp_path / "games.jsonl")
    assert [game["game"] for game in games] == [0, 1, 2, 3]
    for game in games:
        check_game(game)
    assert summary["status"] == "error" and summary["error"] == "Game error: WhiteInvalidMove"
    assert summary["games_played"] == 4 and summary["pairings"][0]["games"] == 4

    forfeited = run(*FAILING, "--games", 12, "--openings", "book.txt", *chunking, "--forfeit",
                    "--out", "forfeit.jsonl", cwd=tmp_path)
    assert forfeited.returncode == 0, forfeited.stderr
    games, summary = read_jsonl(tmp_path / "forfeit.jsonl")
    assert [game["game"] for game in games if game["error"]] == [4, 6]
    assert summary["games_played"] == 12 and summary["pairings"][0]["forfeits"] == [0, 2]


def test_a_local_match_never_imports_ray(tmp_path):
    # Ray is installed alongside for the cluster tests; a match on one machine must not load it.
    script = (
        "import sys, veltrix, veltrix_match\n"
        "from veltrix_match import cli\n"
        "def loaded(): return sorted(name for name in sys.modules if name.split('.')[0] == 'ray')\n"
        "print(loaded())\n"
        f"status = cli.main([{SCRIPTED + ' first'!r}, {SCRIPTED + ' last'!r}, '--games', '2'])\n"
        "print(loaded())\n"
        "sys.exit(status)\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "[]" and "Games played: 2 of 2" in done.stdout and lines[-1] == "[]"


@pytest.mark.parametrize(
    "args, message",
    [
        (["--games", "7"], "must be even"),
        (["--games", "-2"], "argument --games: must be even and positive"),
        (["--games", "0"], "argument --games: must be even and positive"),
        (["--concurrency", "3"], "must be even"),
        (["--concurrency", "0"], "argument --concurrency: must be even and positive"),
        (["--concurrency", "1"], "argument --concurrency: must be even and positive"),
        (["--concurrency", str(2**64)], "argument --concurrency: must be at most 1024"),
        (["--concurrency", "1026"], "argument --concurrency: must be at most 1024"),
        (["--time-limit", "0"], "must be positive"),
        (["--time-limit", "-1"], "argument --time-limit: must be positive"),
        (["--time-limit", "inf"], "argument --time-limit: must be a finite number"),
        (["--time-limit=-inf"], "argument --time-limit: must be a finite number"),
        (["--time-limit", "nan"], "argument --time-limit: must be a finite number"),
        (["--time-limit", "1e300"], r"argument --time-limit: must be at most 1e\+09"),
        (["--time-limit", "1000000001"], r"argument --time-limit: must be at most 1e\+09"),
        (["--sprt", "5", "0"], "elo0 must be below elo1"),
        (["--sprt", "0", "5", "--alpha", "0.9"], "alpha"),
        (["c", "--sprt", "0", "5"], "--sprt needs exactly two programs"),
        (["--openings", "book.txt"], r"book\.txt:2: .*Illegal move"),
        (["--openings", "missing.txt"], "cannot read"),
        (["--out", "no/such/dir/out.jsonl"], "cannot write"),
        ([""], "command line is empty"),
    ],
)
def test_usage_errors_exit_2_with_a_message(tmp_path, monkeypatch, capsys, args, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "book.txt").write_text("f5\nf5a1\n")
    with pytest.raises(SystemExit) as stopped:
        main(["a", "b", *args])
    assert stopped.value.code == 2
    assert re.search(message, capsys.readouterr().err)


def test_the_largest_time_limit_and_concurrency_are_accepted_by_the_arena(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    args = [f"{SCRIPTED} first", f"{SCRIPTED} last", "--games", "2", "--time-limit", "1e9", "--concurrency", "1024"]
    assert main([*args, "--out", "largest.jsonl"]) == 0
    games, summary = read_jsonl(tmp_path / "largest.jsonl")
    assert len(games) == 2 and (summary["time_limit"], summary["concurrency"]) == (1e9, 1024)


def test_cluster_ray_without_its_module_exits_2(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "veltrix_match.cluster", None)
    monkeypatch.delattr(veltrix_match, "cluster", raising=False)
    with pytest.raises(SystemExit) as stopped:
        main(["a", "b", "--cluster", "ray", "--address", "127.0.0.1:1"])
    assert stopped.value.code == 2
    assert "--cluster ray is not available" in capsys.readouterr().err


def test_ctrl_c_reports_what_was_played_and_leaves_no_process(tmp_path):
    pids = tmp_path / "pids"
    pids.mkdir()
    env = {**os.environ, "VELTRIX_TEST_PID_DIR": str(pids)}
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "veltrix_match"]
    match = subprocess.Popen(
        [*command, f"{SCRIPTED} first", f"{SCRIPTED} silent", "--games", "4", "--time-limit", "60",
         "--out", "cut.jsonl"],
        cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        # Every player program of the first chunk has started: the match is under way.
        for _ in range(2400):
            if len(list(pids.iterdir())) == 4 or match.poll() is not None:
                break
            time.sleep(0.05)
        assert len(list(pids.iterdir())) == 4 and match.poll() is None, "the match did not get under way"
        match.send_signal(signal.SIGINT)
        out, err = match.communicate(timeout=60)
    finally:
        match.kill()
        match.wait()
    assert match.returncode == 130, err
    assert "interrupted" in err and "Games played: 0 of 4" in out
    _, summary = read_jsonl(tmp_path / "cut.jsonl")
    assert summary["status"] == "interrupted"
    for pid in pids.iterdir():
        assert not Path("/proc", pid.name).exists(), f"player {pid.name} outlived the match"
