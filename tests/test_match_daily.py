"""veltrix-match for daily use: who failed and why, logs, names, gauntlets, openings order."""

import json
import os
import random
import re
import shlex
import subprocess
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SCRIPTED = f"{sys.executable} {Path(__file__).parent / 'players/scripted_player.py'}"
SEARCH = f"{sys.executable} {ROOT / 'examples/players/search_player.py'}"
SCRIPT = Path(sys.executable).parent / "veltrix-match"
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "veltrix_match"]


def run(*args, cwd):
    return subprocess.run([*COMMAND, *map(str, args)], capture_output=True, text=True, timeout=120, cwd=cwd)


def games_of(path):
    return [record for record in map(json.loads, path.read_text().splitlines()) if record["type"] == "game"]


def write_program(path, text, mode=0o755):
    path.write_text(text)
    path.chmod(mode)
    return str(path)


# A program that cannot start is named, with the reason, whichever side it is on.
@pytest.mark.parametrize(
    "make, reason",
    [
        (lambda d: str(d / "nosuch"), "not found"),
        (lambda d: write_program(d / "plain.txt", "#!/bin/sh\necho pong\n", 0o644), "permission denied"),
        (lambda d: f"{sys.executable} {d / 'missing.py'}",
         r"exited with status 2 before answering ping: .*missing\.py.*No such file"),
        (lambda d: write_program(d / "dies.sh", "#!/bin/sh\necho 'cannot load weights.bin' >&2\nexit 1\n"),
         "exited with status 1 before answering ping: cannot load weights.bin"),
        (lambda d: write_program(d / "chatty.sh", "#!/bin/sh\nread line\necho hello\nsleep 30\n"),
         "answered 'hello' to ping instead of pong"),
        (lambda d: write_program(d / "engine.py", "#!/nonexistent/python9\nprint('pong')\n"),
         r"\): not found \(its #! line names /nonexistent/python9, which does not exist\)$"),
        (lambda d: str(d), r"\): permission denied \(it is a directory\)$"),
    ],
    ids=["not found", "permission", "mistyped script", "exit 1", "wrong answer", "no interpreter", "directory"],
)
@pytest.mark.parametrize("side", [0, 1])
def test_a_program_that_cannot_start_is_named_with_the_reason(tmp_path, make, reason, side):
    bad = make(tmp_path)
    programs = [f"{SCRIPTED} first", bad] if side else [bad, f"{SCRIPTED} first"]
    done = run(*programs, "--games", 2, "--name", "good" if side else "bad", "--name", "bad" if side else "good",
               cwd=tmp_path)
    assert done.returncode == 1 and "Traceback" not in done.stderr
    assert "match stopped: Engine start error" in done.stderr
    named = [line for line in done.stderr.splitlines() if line.startswith("veltrix-match: program ")]
    assert len(named) == 1, done.stderr
    assert named[0].startswith("veltrix-match: program 'bad' (")
    assert re.search(reason, named[0]), named[0]
    # No game was played: no score, Elo, LOS or draw ratio, rather than a 50% LOS.
    row = next(line for line in done.stdout.splitlines() if line.startswith(("bad vs good", "good vs bad")))
    assert row.split()[3:] == ["0", "0", "0", "0", "-", "-", "-", "-", "0", "0", "0", "0", "0"], row


@pytest.mark.parametrize(
    "words, fix",
    [
        (["python3", "a.py", "python3", "b.py"], "veltrix-match 'python3 a.py' 'python3 b.py'"),
        (["python3", "a.py", "4", "./engine"], "veltrix-match 'python3 a.py 4' ./engine"),
        (["python3 a.py", "node", "b.js", "deep"], "veltrix-match 'python3 a.py' 'node b.js deep'"),
    ],
)
def test_unquoted_words_of_a_program_are_a_usage_error_with_the_fix(tmp_path, words, fix):
    done = run(*words, cwd=tmp_path)
    assert done.returncode == 2
    assert "look like the unquoted words" in done.stderr and fix in done.stderr


# Options before, between and after the words: the same error, the fix the whole command line.
@pytest.mark.parametrize(
    "words, fix",
    [
        (["python3", "a.py", "--games", "10", "python3", "b.py"],
         "veltrix-match 'python3 a.py' 'python3 b.py' --games 10"),
        (["--games", "4", "python3", "a.py", "python3", "b.py", "--seed", "1"],
         "veltrix-match 'python3 a.py' 'python3 b.py' --games 4 --seed 1"),
        (["python3", "a.py", "python3", "--games", "4", "b.py"], "veltrix-match 'python3 a.py' 'python3 b.py' --games 4"),
        (["python3", "a.py", "--depth", "4", "python3", "b.py", "--time-limit", "2"],
         "veltrix-match 'python3 a.py --depth 4' 'python3 b.py' --time-limit 2"),
        (["--name", "python3", "--name", "node", "python3", "a.py", "node", "b.js", "--forfeit"],
         "veltrix-match 'python3 a.py' 'node b.js' --name python3 --name node --forfeit"),
        (["python3", "a.py", "--sprt", "-5", "5", "python3", "b.py"], "veltrix-match 'python3 a.py' 'python3 b.py' --sprt -5 5"),
        (["--games=4", "python3", "a.py", "4", "--out", "my games.jsonl", "./engine"],
         "veltrix-match 'python3 a.py 4' ./engine --games=4 --out 'my games.jsonl'"),
        (["--bogus", "python3", "a.py", "python3", "b.py"], "veltrix-match 'python3 a.py' 'python3 b.py' --bogus"),
        (["nboard:edax", "-q", "--games", "4", "./engine", "--depth", "4", "-x"],
         "veltrix-match 'nboard:edax -q' './engine --depth 4 -x' --games 4"),
        (["--seed", "3", "--", "python3", "a.py", "python3", "b.py"],
         "veltrix-match 'python3 a.py' 'python3 b.py' --seed 3"),
    ],
)
def test_unquoted_words_among_options_are_the_same_usage_error(tmp_path, words, fix):
    done = run(*words, cwd=tmp_path)
    assert done.returncode == 2 and "Traceback" not in done.stderr
    assert done.stderr.rstrip().endswith(f"look like the unquoted words of 2 program(s); quote each program's "
                                         f"command line: {fix}")
    assert list(tmp_path.iterdir()) == []  # nothing was started or written


# Command lines that are not unquoted words, though words that look like programs' stand among
# them as option values: they play their match.
@pytest.mark.parametrize(
    "words, names",
    [
        ([f"{SEARCH} 1", f"{SCRIPTED} first", "--games", "2"], ["search_player 1", "scripted_player first"]),
        (["--name", "python3", "--name", "node", f"{SEARCH} 1", f"{SCRIPTED} first", "--games", "2"],
         ["python3", "node"]),
        (["--games", "2", f"{SEARCH} 1", f"{SCRIPTED} first", "--out", "python3", "--debug", "b.py"],
         ["search_player 1", "scripted_player first"]),
        (["--openings", "a.py", "--games", "2", f"{SEARCH} 1", f"{SCRIPTED} first", "--sprt", "-5", "5"],
         ["search_player 1", "scripted_player first"]),
        ([f"nboard:{sys.executable} nboard_engine.py --name Edge", f"{SCRIPTED} first", "--nboard-depth", "2",
          "--nboard-dir", str(Path(__file__).parent / "players"), "--games", "2"], ["Edge", "scripted_player first"]),
    ],
    ids=["quoted", "names like interpreters", "files like programs", "openings like a script", "nboard"],
)
def test_options_with_word_like_values_are_not_taken_for_unquoted_words(tmp_path, words, names):
    (tmp_path / "a.py").write_text("f5d6\n")  # an openings file, whatever its name
    done = run(*words, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert f"({names[0]} against {names[1]}, 2 games)" in done.stdout.splitlines()[-1]


def test_quoted_programs_and_plain_programs_are_not_taken_for_unquoted_words():
    from veltrix_match.diagnose import unquoted_programs

    assert unquoted_programs(["python3 a.py", "python3 b.py"]) is None
    assert unquoted_programs(["./engine", "./other", "./third"]) is None
    assert unquoted_programs(["python3", "python3"]) is None  # no script follows either


def test_log_lines_per_game_and_score_every_interval_when_stdout_is_a_pipe(tmp_path):
    (tmp_path / "book.txt").write_text("f5d6\nc4e3\nf5f6\n")
    done = run(f"{SEARCH} 1", f"{SCRIPTED} first", "--games", 6, "--openings", "book.txt",
               "--rating-interval", 4, "--name", "S", "--name", "F", "--out", "g.jsonl", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    games = games_of(tmp_path / "g.jsonl")
    finished = [line for line in done.stdout.splitlines() if line.startswith("Finished game")]
    assert len(finished) == 6
    for line, game in zip(finished, games):
        black, white = ("S", "F") if game["black"] == 1 else ("F", "S")
        won = game["winner"] is not None and game["winner"] == game["black"]
        score = "1/2-1/2" if game["winner"] is None else "1-0" if won else "0-1"
        assert line.startswith(f"Finished game {game['game'] + 1} ({black} vs {white}, opening {game['opening']}): {score} ")
        assert f"{game['black_discs']}-{game['white_discs']}" in line
    scores = [line for line in done.stdout.splitlines() if line.startswith("Score of")]
    # After game 4 and at the end of the pairing.
    assert len(scores) == 2
    for line, played in zip(scores, (4, 6)):
        won = sum(game["winner"] == 1 for game in games[:played])
        lost = sum(game["winner"] == 2 for game in games[:played])
        drawn = played - won - lost
        share = (won + drawn / 2) / played
        assert line == f"Score of S vs F: {won} - {lost} - {drawn}  [{share:.3f}] {played}"


def test_debug_writes_every_protocol_line_with_times_and_names(tmp_path):
    done = run(f"{SCRIPTED} first", f"{SCRIPTED} last", "--games", 2, "--name", "one", "--name", "two",
               "--debug", "proto.log", "--out", "g.jsonl", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    lines = (tmp_path / "proto.log").read_text().splitlines()
    pattern = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z (one|two) (BLACK|WHITE) \d+ ([<>!]) (.*)")
    parsed = [pattern.fullmatch(line) for line in lines]
    assert all(parsed), [line for line, match in zip(lines, parsed) if not match]
    pings = {(m[1], m[2]) for m in parsed if m[3] == ">" and m[4] == "ping"}
    pongs = {(m[1], m[2]) for m in parsed if m[3] == "<" and m[4].strip() == "pong"}
    assert pings == pongs == {(n, c) for n in ("one", "two") for c in ("BLACK", "WHITE")}
    # Every move of the games was asked for and answered on the log.
    moves = sum(len(game["moves"]) // 2 - len(game["opening"]) // 2 for game in games_of(tmp_path / "g.jsonl"))
    answers = [m for m in parsed if m[3] == "<" and m[4].strip() != "pong"]
    assert len(answers) == moves
    # The summary names the programs' own command lines, not the relays that logged them.
    summary = json.loads((tmp_path / "g.jsonl").read_text().splitlines()[-1])
    assert summary["commands"] == [shlex.split(f"{SCRIPTED} first"), shlex.split(f"{SCRIPTED} last")]


@pytest.mark.parametrize("where, reason", [("missing/proto.log", "No such file or directory"),
                                           (".", "Is a directory")])
def test_a_debug_file_that_cannot_be_written_is_a_usage_error_before_any_program_starts(tmp_path, where,
                                                                                         reason):
    (tmp_path / "pids").mkdir()
    done = subprocess.run([*COMMAND, f"{SCRIPTED} first", f"{SCRIPTED} last", "--games", "2", "--debug", where],
                          capture_output=True, text=True, timeout=120, cwd=tmp_path,
                          env={**os.environ, "VELTRIX_TEST_PID_DIR": str(tmp_path / "pids")})
    assert done.returncode == 2 and "Traceback" not in done.stderr
    assert done.stderr == f"veltrix-match: cannot write {where}: {reason}\n"
    assert not list((tmp_path / "pids").iterdir()), "a program was started"


@pytest.mark.parametrize(
    "names, message",
    [
        (["a", "b", "c"], "--name given 3 times for 2 programs"),
        (["x", "x"], "two programs are named 'x'"),
        ([" "], "a --name is empty"),
        (["new\nline"], "a --name holds a line break or another control character: 'new\\nline'"),
        (["tab\there", "b"], "a --name holds a line break or another control character: 'tab\\there'"),
    ],
)
def test_bad_names_are_usage_errors(tmp_path, names, message):
    done = run(f"{SCRIPTED} first", f"{SCRIPTED} last", *[word for name in names for word in ("--name", name)],
               cwd=tmp_path)
    assert done.returncode == 2 and message in done.stderr


def test_a_gauntlet_plays_the_first_program_against_each_other_only(tmp_path):
    programs = [f"{SEARCH} 1", f"{SCRIPTED} first", f"{SCRIPTED} last", f"{SCRIPTED} random"]
    done = run(*programs, "--gauntlet", "--games", 4, "--name", "hero", "--out", "g.jsonl", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    games = games_of(tmp_path / "g.jsonl")
    assert len(games) == 12
    assert {(game["program1"], game["program2"]) for game in games} == {
        ("hero", "scripted_player first"), ("hero", "scripted_player last"), ("hero", "scripted_player random")}
    wins = sum(game["winner"] == 1 for game in games)
    losses = sum(game["winner"] == 2 for game in games)
    draws = len(games) - wins - losses
    points = wins + draws / 2
    assert f"Overall: hero {points:g}/12 against 3 others (+{wins} -{losses} ={draws})" in done.stdout
    assert "Standings" not in done.stdout
    assert done.stdout.count(" vs ") >= 3  # one table row per opponent
    summary = json.loads((tmp_path / "g.jsonl").read_text().splitlines()[-1])
    assert summary["gauntlet"] is True and len(summary["pairings"]) == 3


@pytest.mark.parametrize("order", ["sequential", "random"])
def test_openings_order_and_the_warning_when_openings_repeat(tmp_path, order):
    book = ["f5d6", "c4e3", "f5f6", "d3c3", "e6f4"]
    (tmp_path / "book.txt").write_text("\n".join(book) + "\n")
    done = run(f"{SCRIPTED} first", f"{SCRIPTED} last", "--games", 14, "--openings", "book.txt",
               "--openings-order", order, "--seed", 7, "--out", "g.jsonl", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    expected = list(book)
    if order == "random":
        random.Random(7).shuffle(expected)
    played = [game["opening"] for game in games_of(tmp_path / "g.jsonl")][::2]
    assert played == [expected[pair % 5] for pair in range(7)]
    assert "warning: 5 openings for 7 game pairs per pairing; openings repeat" in done.stderr


def test_no_warning_when_there_are_openings_enough(tmp_path):
    (tmp_path / "book.txt").write_text("f5d6\nc4e3\n")
    done = run(f"{SCRIPTED} first", f"{SCRIPTED} last", "--games", 4, "--openings", "book.txt", cwd=tmp_path)
    assert done.returncode == 0 and "warning" not in done.stderr


# Command B answers garbage to positions of 5 discs: in the pairs from "f5" and "d3" (games 5
# to 8, numbered from 1), its White games 5 and 7.
FAILING_BOOK = "f5d6\nc4e3\nf5\nd3\n"


def test_a_game_failure_names_the_program_the_game_the_opening_and_the_reply(tmp_path):
    (tmp_path / "book.txt").write_text(FAILING_BOOK)
    done = run(f"{SCRIPTED} first", f"{SCRIPTED} garbage-at-discs 5", "--games", 8, "--openings", "book.txt",
               "--chunk-games", 8, "--name", "good", "--name", "bad", cwd=tmp_path)
    assert done.returncode == 1
    lines = done.stderr.strip().splitlines()
    assert lines[0].startswith("veltrix-match: match stopped: Game error: WhiteInvalidMove (--forfeit")
    assert lines[1] == "veltrix-match: game 5 (opening f5): program 'bad' (White) answered '19abc', not a legal move"


def test_a_forfeit_keeps_the_reply_in_the_record_and_the_log(tmp_path):
    (tmp_path / "book.txt").write_text(FAILING_BOOK)
    done = run(f"{SCRIPTED} first", f"{SCRIPTED} garbage-at-discs 5", "--games", 8, "--openings", "book.txt",
               "--forfeit", "--out", "g.jsonl", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    games = games_of(tmp_path / "g.jsonl")
    assert [(game["game"], game["reply"]) for game in games if game["error"]] == [(4, "19abc"), (6, "19abc")]
    assert all(game["reply"] is None for game in games if not game["error"])
    assert done.stdout.count("wins by forfeit: WhiteInvalidMove, it replied '19abc'") == 2


# An overlong reply (a megabyte without a newline) is kept by its start, marked as cut.
@pytest.mark.parametrize("mode, reply", [("garbage", "19abc"), ("out-of-range 64", "64"), ("empty", ""),
                                         ("occupied", None), ("flood", "1" * 60 + "...")])
def test_the_arena_says_where_a_batch_failed(mode, reply):
    import veltrix

    arena = veltrix.Arena(SCRIPTED.split() + ["first"], SCRIPTED.split() + mode.split())
    with pytest.raises(ValueError) as failed:
        arena.play(4, openings=["f5", "d3"], time_limit=5, progress=False)
    error = failed.value
    assert str(error) == "Game error: WhiteInvalidMove"
    assert (error.game, error.opening) == (0, "f5")
    if reply is not None:
        assert error.reply == reply
    else:
        assert error.reply.isdigit()


def test_a_silent_program_is_given_a_deadline_and_ended_with_its_helpers(tmp_path):
    from veltrix_match.diagnose import start_problem

    script = write_program(tmp_path / "silent.sh", f"#!/bin/sh\nsleep 60 &\necho $! > {tmp_path}/helper.pid\nsleep 60\n")
    started = time.monotonic()
    problem = start_problem([script], deadline=0.5)
    assert problem == "did not answer ping within 0.5 s"
    assert time.monotonic() - started < 10
    helper = int((tmp_path / "helper.pid").read_text())
    for _ in range(100):
        if not Path(f"/proc/{helper}").exists() or Path(f"/proc/{helper}/stat").read_text().split(")")[1].split()[0] == "Z":
            break
        time.sleep(0.05)
    else:
        pytest.fail("the program's helper outlived the diagnosis")


def test_on_a_terminal_the_progress_line_moves_with_each_game(tmp_path):
    # Standard error on a terminal, one chunk of eight games of about 0.3 s each, two at a
    # time: the count must pass through values between 0 and 8 while the games play, not only
    # when the chunk's results are counted at its end (all within a few milliseconds).
    import pty
    import select

    player = f"{sys.executable} {Path(__file__).parent / 'players/endgame_player.py'} 0 1 5"
    main, terminal = pty.openpty()
    process = subprocess.Popen([*COMMAND, player, player, "--games", "8", "--chunk-games", "8"],
                               stdout=subprocess.DEVNULL, stderr=terminal, cwd=tmp_path)
    os.close(terminal)
    seen, first_seen = b"", {}
    deadline = time.monotonic() + 120
    try:
        while time.monotonic() < deadline:
            ready, _, _ = select.select([main], [], [], 1.0)
            if ready:
                try:
                    chunk = os.read(main, 4096)
                except OSError:  # the terminal's other end is closed: the program is done
                    break
                if not chunk:
                    break
                seen += chunk
                for count in re.findall(rb"games (\d+)/8", seen):
                    first_seen.setdefault(int(count), time.monotonic())
            elif process.poll() is not None:
                break
    finally:
        os.close(main)
        process.kill() if process.poll() is None else None
        process.wait(10)
    assert process.returncode == 0, seen
    between = [first_seen[count] for count in range(1, 8) if count in first_seen]
    assert 8 in first_seen and between, seen
    assert first_seen[8] - min(between) > 0.2, seen


def run_on_a_terminal(args, cwd, stderr_to_terminal):
    """veltrix-match with standard output on a pseudo-terminal (standard error there too, or
    in a file); what the terminal showed, and what went to the file."""
    import pty

    leader, follower = pty.openpty()
    errors = open(cwd / "errors.txt", "w")
    try:
        match = subprocess.Popen([*COMMAND, *map(str, args)], cwd=cwd, stdin=subprocess.DEVNULL, stdout=follower,
                                 stderr=follower if stderr_to_terminal else errors)
    finally:
        os.close(follower)
        errors.close()
    shown = b""
    deadline = time.monotonic() + 120
    try:
        while time.monotonic() < deadline:
            try:
                chunk = os.read(leader, 65536)
            except OSError:  # EIO: every holder of the terminal has closed it
                break
            if not chunk:
                break
            shown += chunk
        assert match.wait(timeout=max(1.0, deadline - time.monotonic())) == 0
    finally:
        match.kill()
        match.wait()
        os.close(leader)
    return shown.decode(), (cwd / "errors.txt").read_text()


# On a terminal the progress line moves with the games; standard error sent to a file (to keep
# the programs' chatter out of sight) must not take the progress line with it.
@pytest.mark.parametrize("stderr_to_terminal", [True, False], ids=["stderr on the terminal", "stderr in a file"])
def test_on_a_terminal_the_progress_line_shows_whatever_standard_error_is(tmp_path, stderr_to_terminal):
    shown, errors = run_on_a_terminal([f"{SCRIPTED} first", f"{SCRIPTED} last", "--games", 6, "--chunk-games", 2],
                                      tmp_path, stderr_to_terminal)
    assert "\rgames 6/6  scripted_player first vs scripted_player last" in shown
    assert "Finished game" not in shown and "Games played: 6 of 6" in shown
    assert "games 6/6" not in errors


# Two outputs on one file garble it (the --debug relays append while the JSONL is written);
# an output on the --openings file loses the user's openings. Refused before anything runs.
@pytest.mark.parametrize("options, message", [
    (["--out", "same.txt", "--debug", "same.txt"], "--out and --debug name the same file"),
    (["--ggf-out", "same.txt", "--debug", "./same.txt"], "--ggf-out and --debug name the same file"),
    (["--openings", "book.txt", "--out", "book.txt"], "--out names the --openings file book.txt"),
    (["--openings", "book.txt", "--debug", "book.txt"], "--debug names the --openings file book.txt"),
    (["--openings", "book.txt", "--ggf-out", "./book.txt"], "--ggf-out names the --openings file book.txt"),
])
def test_outputs_on_one_file_or_on_the_openings_file_are_refused(tmp_path, options, message):
    (tmp_path / "book.txt").write_text("f5d6c3\nf5f6e6\n")
    done = run(f"{SCRIPTED} first", f"{SCRIPTED} last", "--games", 4, *options, cwd=tmp_path)
    assert done.returncode == 2 and message in done.stderr and "Traceback" not in done.stderr
    assert (tmp_path / "book.txt").read_text() == "f5d6c3\nf5f6e6\n"
    assert not (tmp_path / "same.txt").exists() or (tmp_path / "same.txt").read_text() == ""
