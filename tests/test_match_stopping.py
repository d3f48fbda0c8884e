"""veltrix-match ending early: signals, a --out file that cannot be written, a closed stdout."""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from processes import wait_until_ended

ROOT = Path(__file__).resolve().parent.parent
SCRIPTED = f"{sys.executable} {Path(__file__).parent / 'players/scripted_player.py'}"
SEARCH = f"{sys.executable} {ROOT / 'examples/players/search_player.py'}"
SCRIPT = Path(sys.executable).parent / "veltrix-match"
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "veltrix_match"]


def records(path):
    return [json.loads(line) for line in path.read_text().splitlines()]


# SIGTERM (timeout, CI, docker stop) and SIGHUP (a closed terminal) end the match as Ctrl-C
# does: the players and their helpers reaped, the report printed, the summary written.
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT], ids=lambda s: s.name)
def test_a_stop_signal_reports_writes_the_summary_and_leaves_no_process(tmp_path, signum):
    pids = tmp_path / "pids"
    pids.mkdir()
    env = {**os.environ, "VELTRIX_TEST_PID_DIR": str(pids)}
    match = subprocess.Popen(
        [*COMMAND, f"{SCRIPTED} first", f"{SCRIPTED} helper+silent", "--games", "4", "--time-limit", "60",
         "--out", "cut.jsonl"],
        cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        # Four players and two helpers have started: the match is under way.
        for _ in range(2400):
            if len(list(pids.iterdir())) == 6 or match.poll() is not None:
                break
            time.sleep(0.05)
        assert len(list(pids.iterdir())) == 6 and match.poll() is None, "the match did not get under way"
        match.send_signal(signum)
        out, err = match.communicate(timeout=60)
    finally:
        match.kill()
        match.wait()
    assert match.returncode == 128 + signum, err
    assert "Traceback" not in err and "the games finished so far" in err
    assert "Games played: 0 of 4" in out
    summary = records(tmp_path / "cut.jsonl")[-1]
    assert summary["type"] == "summary" and summary["status"] == "interrupted"
    left = wait_until_ended([int(pid.name) for pid in pids.iterdir()], 10)
    assert not left, f"processes {left} outlived the match"


def test_a_failed_out_write_names_the_file_and_counts_only_what_was_written(tmp_path):
    done = subprocess.run(
        [*COMMAND, f"{SCRIPTED} first", f"{SCRIPTED} last", "--games", "4", "--out", "/dev/full"],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 1
    assert "Traceback" not in done.stderr
    lines = done.stderr.strip().splitlines()
    assert lines == ["veltrix-match: match stopped: cannot write /dev/full: No space left on device"]
    assert "Games played: 0 of 4" in done.stdout


# A reader that goes away (`| head -1`): no traceback, the match ends, and the JSONL file has
# every game counted and its summary, written before anything is printed.
@pytest.mark.parametrize("lines_read", [0, 1, 3])
def test_a_closed_stdout_ends_quietly_and_loses_nothing(tmp_path, lines_read):
    match = subprocess.Popen(
        [*COMMAND, f"{SEARCH} 1", f"{SCRIPTED} first", "--games", "40", "--chunk-games", "2",
         "--rating-interval", "2", "--out", "games.jsonl"],
        cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )
    try:
        for _ in range(lines_read):
            match.stdout.readline()
        match.stdout.close()
        err = match.stderr.read().decode()
        match.wait(timeout=120)
    finally:
        match.kill()
        match.wait()
        match.stderr.close()
    assert match.returncode in (0, 141), err
    assert "Traceback" not in err and "Exception" not in err
    written = records(tmp_path / "games.jsonl")
    games, summary = written[:-1], written[-1]
    assert summary["type"] == "summary" and all(game["type"] == "game" for game in games)
    assert summary["games_played"] == len(games)
    assert [game["game"] for game in games] == list(range(len(games)))


# Standard output that cannot be written at all: a full device, or closed before the start
# (`>&-`). One line says so on standard error, the file keeps its summary; no traceback.
@pytest.mark.parametrize("target, reason", [("/dev/full", "No space left on device"), ("closed", "it is closed")])
@pytest.mark.parametrize("command", ["match", "ratings"])
def test_a_standard_output_that_cannot_be_written_is_one_line_not_a_traceback(tmp_path, target, reason, command):
    if target == "/dev/full" and not Path("/dev/full").exists():
        pytest.skip("no /dev/full here")
    done = subprocess.run([*COMMAND, f"{SCRIPTED} first", f"{SCRIPTED} last", "--games", "4", "--out", "games.jsonl"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    words = ["ratings", "games.jsonl"] if command == "ratings" else \
        [f"{SCRIPTED} first", f"{SCRIPTED} last", "--games", "4", "--out", "again.jsonl"]
    redirect = '>/dev/full' if target == "/dev/full" else '>&-'
    done = subprocess.run(["sh", "-c", f'exec "$@" {redirect}', "sh", *COMMAND, *words], cwd=tmp_path,
                          stderr=subprocess.PIPE, text=True, timeout=120)
    assert done.returncode == 1
    assert "Traceback" not in done.stderr and "Exception" not in done.stderr
    assert f"cannot write to standard output: {reason}" in done.stderr.splitlines()[-1]
    if command == "match":
        summary = records(tmp_path / "again.jsonl")[-1]
        assert summary["type"] == "summary" and summary["status"] == "error"
        assert summary["error"] == f"cannot write to standard output: {reason}"


# A full disk under the --debug log stops the logging only (said once by each program's
# relay), never the programs' lines; under the GGF file it stops the match, naming the file.
@pytest.mark.parametrize("option", ["--ggf-out", "--debug"])
def test_a_full_disk_under_the_ggf_file_or_the_debug_log(tmp_path, option):
    if not Path("/dev/full").exists():
        pytest.skip("no /dev/full here")
    done = subprocess.run([*COMMAND, f"{SCRIPTED} first", f"{SCRIPTED} last", "--games", "4", "--out", "games.jsonl",
                           option, "/dev/full"], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert "Traceback" not in done.stderr
    summary = records(tmp_path / "games.jsonl")[-1]
    if option == "--ggf-out":
        assert done.returncode == 1
        failure = "[Errno 28] cannot write /dev/full: No space left on device"
        assert f"veltrix-match: match stopped: {failure}\n" in done.stderr
        assert summary["status"] == "error" and summary["error"] == failure
    else:
        assert done.returncode == 0, done.stderr
        assert summary["status"] == "complete" and summary["games_played"] == 4
        said = done.stderr.splitlines()
        assert said and all(line.startswith("veltrix-match --debug: cannot write /dev/full: No space left on device; "
                                            "no more lines of scripted_player ") for line in said), said


# Standard error closed before the start (`2>&-`): the match is played and reported as ever.
@pytest.mark.parametrize("words", [[f"{SCRIPTED} first", f"{SCRIPTED} last", "--games", "4"],
                                   [f"{SCRIPTED} first", f"{SCRIPTED} last", "--games", "4", "--openings", "book.txt"]],
                         ids=["match", "with a warning"])
def test_a_closed_standard_error_does_not_stop_the_match(tmp_path, words):
    (tmp_path / "book.txt").write_text("f5d6c3\n")  # one opening for two pairs: a warning
    done = subprocess.run(["sh", "-c", 'exec "$@" 2>&-', "sh", *COMMAND, *words], cwd=tmp_path,
                          stdout=subprocess.PIPE, text=True, timeout=120)
    assert done.returncode == 0, done.stdout
    assert done.stdout.splitlines()[-1].startswith("Elo difference:")
    assert done.stdout.count("Finished game") == 4


# Ctrl-C while a program that does not start is tried on its own to find out why (a silent
# one gets a deadline of seconds): the report is still printed, without a traceback. SIGTERM
# is disarmed once the games are over (so that it cannot cut the report short): the trial ends
# at its deadline (10 s, scaled to 2 s here) and names the program.
@pytest.mark.parametrize("signum, said", [(signal.SIGINT, "interrupted while trying each program on its own"),
                                          (signal.SIGTERM, "did not answer ping within 2 s")],
                         ids=["SIGINT", "SIGTERM"])
def test_a_stop_signal_while_a_program_is_tried_on_its_own(tmp_path, signum, said):
    pids = tmp_path / "pids"
    pids.mkdir()
    match = subprocess.Popen(
        [*COMMAND, f"{SCRIPTED} silent-handshake", f"{SCRIPTED} first", "--games", "2", "--out", "games.jsonl"],
        cwd=tmp_path, env={**os.environ, "VELTRIX_TEST_PID_DIR": str(pids), "VELTRIX_TEST_TIME_SCALE": "0.2"},
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        assert match.stderr.readline().startswith("veltrix-match: match stopped: Engine start error")
        time.sleep(0.5)  # the programs are being tried, the silent one waited for
        match.send_signal(signum)
        out, err = match.communicate(timeout=60)
    finally:
        match.kill()
        match.wait()
    assert "Traceback" not in err and match.returncode == 1, err
    assert said in err
    assert out.splitlines()[-1].startswith("Elo difference: none, no game was played")
    assert records(tmp_path / "games.jsonl")[-1]["status"] == "error"
    left = wait_until_ended([int(pid.name) for pid in pids.iterdir()], 10)
    assert not left, f"processes {left} outlived the match"


# Ctrl-C before any game starts, or while a rating list is made: here while a file is being
# opened (a named pipe nobody writes to, so the moment is sure). One word, status 130.
@pytest.mark.parametrize("words", [["ratings", "games.fifo"],
                                   [f"{SCRIPTED} first", f"{SCRIPTED} last", "--openings", "games.fifo"],
                                   [f"{SCRIPTED} first", f"{SCRIPTED} last", "--resume", "games.fifo"]],
                         ids=["ratings", "openings", "resume"])
def test_ctrl_c_before_the_games_is_one_word_not_a_traceback(tmp_path, words):
    os.mkfifo(tmp_path / "games.fifo")
    match = subprocess.Popen([*COMMAND, *words], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    try:
        wchan = Path(f"/proc/{match.pid}/wchan")
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and match.poll() is None:
            # Waiting in the open of the pipe: the interpreter and its handlers are long set up.
            if "fifo" in wchan.read_text() or "partner" in wchan.read_text():
                break
            time.sleep(0.05)
        assert match.poll() is None, match.communicate()
        match.send_signal(signal.SIGINT)
        out, err = match.communicate(timeout=60)
    finally:
        match.kill()
        match.wait()
    assert match.returncode == 130 and "Traceback" not in err, err
    assert err == "veltrix-match: interrupted\n"
