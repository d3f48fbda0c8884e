"""The NBoard adapter with real child processes: a small NBoard engine of our own
(tests/players/nboard_engine.py) plays through it under Arena.play, misbehaves in every way
the adapter must report, and never outlives it."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from processes import alive, wait_until_ended
from reference import RefBoard
from veltrix import Arena, Board
from veltrix_match.chunks import Chunk, play_chunk
from veltrix_match.nboard import adapter_command

HERE = Path(__file__).parent
ENGINE = f"{sys.executable} {HERE / 'players/nboard_engine.py'}"
FIRST = [sys.executable, str(HERE / "players/scripted_player.py"), "first"]


def nboard(mode="normal", *options, engine_options=""):
    return [sys.executable, "-m", "veltrix_match.nboard", *options, f"{ENGINE} --mode {mode} {engine_options}"]


@pytest.fixture
def pid_dir(tmp_path, monkeypatch):
    """Every engine records its pid here; none may outlive the test."""
    directory = tmp_path / "pids"
    directory.mkdir()
    monkeypatch.setenv("VELTRIX_TEST_PID_DIR", str(directory))
    yield directory
    assert wait_until_ended([int(p) for p in os.listdir(directory)]) == []


def first_move_game():
    """The one game two first-legal-move players play, on the reference model."""
    board, moves = RefBoard.initial(), []
    while not board.game_over():
        legal = board.legal_moves()
        if not legal:
            board.pass_turn()
            continue
        board.play(legal[0])
        moves.append("abcdefgh"[legal[0] % 8] + str(legal[0] // 8 + 1))
    return "".join(moves)


@pytest.mark.parametrize("mode", ["normal", "spaced", "chatty"])
def test_an_nboard_engine_plays_whole_games_through_the_adapter(mode, pid_dir):
    # The engine plays the first legal move, as the scripted "first" player does: every game
    # must be that one game, with the adapter on either side.
    records = Arena(nboard(mode, "--depth", "3"), FIRST).play(4, concurrency=2, progress=False)
    expected = first_move_game()
    for record in records:
        assert record.error is None and record.moves == expected
        board = Board.from_transcript(record.moves)
        assert (record.black_discs, record.white_discs) == (board.black_piece_num(), board.white_piece_num())
    # Two adapters (one per colour), each with its engine, and two scripted players.
    assert len(os.listdir(pid_dir)) == 4


def run_adapter(command, lines, timeout=30):
    """Runs the adapter as an arena would (colour appended), feeding it `lines`."""
    started = time.monotonic()
    result = subprocess.run([*command, "BLACK"], input="".join(line + "\n" for line in lines),
                            capture_output=True, text=True, timeout=timeout)
    return result, time.monotonic() - started


START = Board().get_board_line()

FAULTS = {
    "illegal": "played the illegal move d4",
    "garbage": "unparsable move",
    "long-garbage": "unparsable move: '=== zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz'... (cut; 1000004 characters in all)",
    "exits": "exited while the adapter waited for go",
    "passes": "passed with legal moves",
    "slow": "did not answer go in time",
    "ignores-ping": "did not answer ping 1 in time",
    "fails-start": "exited while the adapter waited for ping 1 (exit status 3)",
    "flood": "sent more than 1048576 bytes without a line end",
}


@pytest.mark.parametrize("mode", FAULTS)
def test_a_faulty_engine_ends_the_adapter_with_one_line_of_reason(mode, pid_dir):
    command = nboard(mode, "--move-time", "0.5", "--start-time", "1")
    result, seconds = run_adapter(command, ["ping", START])
    assert result.returncode == 1
    assert result.stderr.count("\n") == 1 and result.stderr.startswith("veltrix-nboard: engine nboard_engine.py")
    assert len(result.stderr) < 200  # whatever the engine sent
    assert FAULTS[mode] in result.stderr
    assert seconds < 10  # every wait has its deadline (0.5 s + the margin, or 1 s to start)
    assert result.stdout == ("" if mode in ("ignores-ping", "fails-start") else "pong\n")


def test_an_engine_that_cannot_be_started_is_reported():
    result, _ = run_adapter([sys.executable, "-m", "veltrix_match.nboard", "/no/such/engine -x"], ["ping"])
    assert result.returncode == 1 and "cannot start engine engine" in result.stderr


@pytest.mark.parametrize("mode, error", [("illegal", "InvalidMove"), ("garbage", "InvalidMove"),
                                         ("exits", "InvalidMove"), ("slow", "Timeout")])
def test_under_arena_play_the_engines_fault_loses_its_games(mode, error, pid_dir):
    records = Arena(FIRST, nboard(mode, "--move-time", "5")).play(2, time_limit=1.0, on_error="forfeit",
                                                                 progress=False)
    for record in records:
        assert record.error is not None and record.error.endswith(error)
        assert record.winner == 1  # the faulty side (program 2) loses whichever colour it had


def start_adapter(engine_options="", own_group=False):
    process = subprocess.Popen([*nboard("normal", engine_options=engine_options), "WHITE"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=own_group)
    process.stdin.write("ping\n")
    process.stdin.flush()
    assert process.stdout.readline() == "pong\n"
    return process


@pytest.mark.parametrize("ending", ["stdin closes", "SIGTERM", "SIGHUP", "SIGKILL"])
def test_the_engine_never_outlives_the_adapter(ending, pid_dir):
    # --ignore-eof: the engine would stay when its input ends; the adapter must end it.
    process = start_adapter("--ignore-eof")
    engines = [int(p) for p in os.listdir(pid_dir)]
    assert len(engines) == 1 and alive(engines[0])
    if ending == "stdin closes":
        process.stdin.close()
    else:
        process.send_signal(getattr(signal, ending))
    code = process.wait(timeout=10)
    assert code == {"stdin closes": 0, "SIGTERM": 128 + 15, "SIGHUP": 128 + 1, "SIGKILL": -9}[ending]
    assert wait_until_ended(engines) == []
    for pipe in (process.stdin, process.stdout, process.stderr):
        try:
            pipe.close()
        except BrokenPipeError:
            pass


SCRIPT = Path(sys.executable).parent / "veltrix-nboard"


@pytest.mark.parametrize("options, name", [([], "TestEngine"), (["--name", "Mine"], "Mine")])
def test_print_name_reports_the_engines_own_name_or_the_users(options, name):
    # Through the console script where the install has one (as a user runs it).
    command = nboard("normal", *options)
    if SCRIPT.exists():
        command = [str(SCRIPT), *command[3:]]
    result = subprocess.run([*command, "--print-name"], capture_output=True, text=True, timeout=30)
    assert (result.returncode, result.stdout) == (0, name + "\n")
    unnamed = subprocess.run([*nboard("normal", engine_options="--name ''"), "--print-name"],
                             capture_output=True, text=True, timeout=30)
    assert unnamed.stdout == "nboard_engine.py\n"  # no "set myname": the engine's program name


def test_a_chunk_made_on_another_machine_runs_the_adapter_with_this_interpreter(pid_dir):
    # The driver's interpreter path need not exist where the chunk is played (a cluster node).
    command = adapter_command(f"{ENGINE} --mode normal", depth=2)
    command[0] = "/nonexistent/bin/python3"
    chunk = Chunk(index=0, first_game=0, pairing=0, commands=(command, FIRST), openings=("f5",))
    results = play_chunk(chunk)
    assert [r["error"] for r in results] == [None, None] and all(r["moves"].startswith("f5") for r in results)


@pytest.mark.parametrize("argv, message", [
    (["engine"], "the colour (BLACK or WHITE) is missing"),
    (["", "BLACK"], "the engine's command line is empty"),
    (["'unclosed", "BLACK"], "cannot split"),
    (["--depth", "0", "e", "BLACK"], "--depth must be at least 1"),
    (["--move-time", "nan", "e", "BLACK"], "--move-time must be a positive number"),
    (["--dir", "/no/such/dir", "e", "BLACK"], "is not a directory"),
])
def test_usage_errors(argv, message):
    result = subprocess.run([sys.executable, "-m", "veltrix_match.nboard", *argv], capture_output=True, text=True,
                            timeout=30)
    assert result.returncode == 2 and message in result.stderr


FIRST_MOVE = min(Board().get_legal_moves_vec())


@pytest.mark.parametrize("options", [[], ["--depth", "7"]])
def test_an_engine_that_needs_a_depth_moves_with_or_without_depth_given(options, pid_dir):
    # The protocol has a depth set before any "go"; the test engine, as NTest, will not move without.
    result, _ = run_adapter(nboard("normal", *options, "--move-time", "0.5"), ["ping", START])
    assert (result.returncode, result.stdout, result.stderr) == (0, f"pong\n{FIRST_MOVE}\n", "")


@pytest.mark.parametrize("announced, expected, plays", [
    ([], "2", True), (["--protocol-version", "1"], "1", True), (["--protocol-version", "2"], "2", True),
    ([], "1", False), (["--protocol-version", "1"], "2", False)])
def test_the_announced_protocol_version_can_be_chosen(announced, expected, plays, pid_dir):
    command = nboard("normal", *announced, "--start-time", "5", engine_options=f"--version {expected}")
    result, _ = run_adapter(command, ["ping", START])
    if plays:
        assert (result.returncode, result.stdout) == (0, f"pong\n{FIRST_MOVE}\n")
    else:
        assert result.returncode == 1 and "(exit status 4)" in result.stderr and result.stdout == ""


def test_protocol_version_is_one_or_two():
    result = subprocess.run([sys.executable, "-m", "veltrix_match.nboard", "--protocol-version", "3", "e", "BLACK"],
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 2 and "--protocol-version" in result.stderr


def test_an_engines_helpers_end_with_each_game_under_arena_play(pid_dir):
    # The arena ends each player by killing its group when the game is over.
    records = Arena(nboard("normal", engine_options="--helper --ignore-eof"), FIRST).play(2, progress=False)
    assert [r.error for r in records] == [None, None]
    kinds = sorted(path.read_text() for path in pid_dir.iterdir())
    assert kinds.count("helper") == 2 and kinds.count("engine") == 2


@pytest.mark.parametrize("ending", ["stdin closes", "SIGTERM", "group killed"])
def test_an_engines_helpers_never_outlive_the_adapter_started_as_arenas_start_it(ending, pid_dir):
    # In a group of its own, as the arenas start players; "group killed" is how they end one.
    process = start_adapter("--ignore-eof --helper", own_group=True)
    recorded = [int(p) for p in os.listdir(pid_dir)]
    assert len(recorded) == 2 and all(alive(pid) for pid in recorded)
    if ending == "stdin closes":
        process.stdin.close()
    elif ending == "SIGTERM":
        process.send_signal(signal.SIGTERM)
    else:
        os.killpg(process.pid, signal.SIGKILL)
    code = process.wait(timeout=10)
    assert code == {"stdin closes": 0, "SIGTERM": 128 + 15, "group killed": -9}[ending]
    assert wait_until_ended(recorded) == []
    for pipe in (process.stdin, process.stdout, process.stderr):
        try:
            pipe.close()
        except BrokenPipeError:
            pass


def test_the_adapter_leading_a_group_it_shares_ends_only_its_own(pid_dir, tmp_path):
    # As the first of a shell's pipeline ("veltrix-nboard ... | tee log") leads the group the
    # others are in: a process that is not the adapter's must outlive it.
    adapter = " ".join(f"'{word}'" for word in [*nboard("normal", engine_options="--ignore-eof --helper"), "BLACK"])
    process = subprocess.Popen(["sh", "-c", f"sleep 60 & echo $! > {tmp_path}/bystander; exec {adapter}"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, start_new_session=True)
    try:
        process.stdin.write("ping\n")
        process.stdin.flush()
        assert process.stdout.readline() == "pong\n"
        bystander = int((tmp_path / "bystander").read_text())
        recorded = [int(p) for p in os.listdir(pid_dir)]
        process.stdin.close()
        assert process.wait(timeout=10) == 0
        assert wait_until_ended(recorded) == [] and alive(bystander)
    finally:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        process.wait()
        process.stdout.close()
