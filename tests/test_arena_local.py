"""Arena against real child processes: scripted players that play or misbehave on command."""

import contextlib
import os
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import veltrix
from processes import player, wait_until_ended
from veltrix import Arena, Board, Turn

pytestmark = pytest.mark.usefixtures("pid_dir")


def play_game(black_pick, white_pick):
    """The referee's game between two move-picking functions: winner, black and white discs."""
    board = Board()
    while not board.is_game_over():
        if board.is_pass():
            board.do_pass()
            continue
        pick = black_pick if board.get_board()[2] == Turn.BLACK else white_pick
        board.do_move(pick(board.get_legal_moves_vec()))
    return board.get_winner(), board.black_piece_num(), board.white_piece_num()


def first(moves):
    return moves[0]


def last(moves):
    return moves[-1]


def expected_totals(games_per_pair):
    """Stats and pieces of a first-move program (command1) against a last-move one."""
    wins1 = wins2 = draws = pieces1 = pieces2 = 0
    for first_is_black in (True, False):
        winner, black, white = play_game(first, last) if first_is_black else play_game(last, first)
        for _ in range(games_per_pair):
            pieces1 += black if first_is_black else white
            pieces2 += white if first_is_black else black
            if winner is None:
                draws += 1
            elif (winner == Turn.BLACK) == first_is_black:
                wins1 += 1
            else:
                wins2 += 1
    return (wins1, wins2, draws), (pieces1, pieces2)


def test_tallies_of_deterministic_players_accumulate_exactly():
    arena = Arena(player("first"), player("last"))
    arena.play_n(6)
    assert (arena.get_stats(), arena.get_pieces()) == expected_totals(3)
    arena.play_n(4)
    assert (arena.get_stats(), arena.get_pieces()) == expected_totals(5)


def test_same_program_on_both_sides_plays_one_game_per_pair():
    arena = Arena(player("random"), player("padded"))
    arena.play_n(2)
    assert sum(arena.get_stats()) == 2
    assert 0 < sum(arena.get_pieces()) <= 128


def test_zero_games_starts_and_ends_the_programs(pid_dir):
    arena = Arena(player("first"), player("first"))
    arena.play_n(0)
    assert arena.get_stats() == (0, 0, 0)
    assert arena.get_pieces() == (0, 0)
    assert len(os.listdir(pid_dir)) == 4


def test_odd_count_fails_after_all_four_programs_started(pid_dir):
    arena = Arena(player("first"), player("first"))
    with pytest.raises(ValueError, match="^Game count must be even$"):
        arena.play_n(3)
    assert len(os.listdir(pid_dir)) == 4
    assert arena.get_stats() == (0, 0, 0)


@pytest.mark.parametrize(
    "command",
    [
        player("wrong-handshake"),
        player("capital-pong"),
        player("exit-at-handshake"),
        [],
        ["/nonexistent/veltrix-player"],
        # Cut at the NUL, this would run a well-behaved player.
        player("first\0-and-more"),
    ],
    ids=["wrong", "PONG", "exit", "empty-command", "missing-program", "nul-in-argument"],
)
@pytest.mark.parametrize("side", [1, 2])
def test_failed_start(command, side):
    arena = Arena(command, player("first")) if side == 1 else Arena(player("first"), command)
    with pytest.raises(ValueError, match="^Engine start error$"):
        arena.play_n(2)
    assert arena.get_stats() == (0, 0, 0)


@pytest.mark.parametrize(
    "mode, fault",
    [
        (["garbage"], "InvalidMove"),
        (["negative"], "InvalidMove"),
        (["empty"], "InvalidMove"),
        (["out-of-range", 64], "InvalidMove"),
        (["out-of-range", 999], "InvalidMove"),
        (["out-of-range", 18446744073709551616], "InvalidMove"),
        (["occupied"], "InvalidMove"),
        (["flood"], "InvalidMove"),
        (["exit-mid-game", 2], "InvalidMove"),
        (["close-input"], "Crash"),
    ],
    ids=lambda value: "-".join(map(str, value)) if isinstance(value, list) else value,
)
@pytest.mark.parametrize("side", [1, 2])
def test_misbehaving_player_ends_the_batch(mode, fault, side):
    # The first pair plays command1 as Black and command2 as White; its error is reported.
    if side == 1:
        arena, colour = Arena(player(*mode), player("first")), "Black"
    else:
        arena, colour = Arena(player("first"), player(*mode)), "White"
    with pytest.raises(ValueError, match=f"^Game error: {colour}{fault}$"):
        arena.play_n(2)
    assert arena.get_stats() == (0, 0, 0)
    assert arena.get_pieces() == (0, 0)


def test_failure_after_finished_games_keeps_previous_totals():
    arena = Arena(player("first"), player("last"))
    arena.play_n(2)
    before = arena.get_stats(), arena.get_pieces()
    # Thirty-five answers finish the first game of each pair, not the second.
    failing = Arena(player("exit-mid-game", 35), player("last"))
    with pytest.raises(ValueError, match="^Game error: BlackInvalidMove$"):
        failing.play_n(4)
    assert (failing.get_stats(), failing.get_pieces()) == ((0, 0, 0), (0, 0))
    assert (arena.get_stats(), arena.get_pieces()) == before


def test_positions_where_a_side_must_pass_are_never_sent(tmp_path):
    log = tmp_path / "positions"
    arena = Arena(player("log-random", log), player("log-random", log))
    arena.play_n(10)
    rows = [row.split() for row in log.read_text().splitlines()]
    assert all(int(count) > 0 for _, _, count in rows)
    # Without passes Black always sees an even number of discs and White an odd one.
    after_pass = [line for colour, line, _ in rows if (64 - line.count("-")) % 2 != (colour == "WHITE")]
    assert after_pass, "these seeded games include passes"


DRIVER = textwrap.dedent(
    """
    import signal, sys, veltrix
    # A shell that starts the suite in the background leaves SIGINT ignored; take it back.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    exec(sys.argv[4])  # what the test sets up in the host first
    arena = veltrix.Arena(eval(sys.argv[1]), eval(sys.argv[2]))
    print("ready", flush=True)
    try:
        arena.play_n(int(sys.argv[3]))
    except BaseException as error:
        print(type(error).__name__, error, arena.get_stats(), flush=True)
    else:
        print("done", arena.get_stats(), flush=True)
    """
)


def read_line(stream, seconds=10):
    """One line of a driver's output; empty if none came within the time (the driver hangs)."""
    if not select.select([stream], [], [], seconds)[0]:
        return ""
    return stream.readline()


def start_driver(command1, command2, n, setup="", **kwargs):
    return subprocess.Popen(
        [sys.executable, "-c", DRIVER, repr(command1), repr(command2), str(n), setup],
        stdout=subprocess.PIPE, text=True, start_new_session=True, **kwargs,
    )


def test_silent_and_late_players_time_out():
    # Each case waits out a five-second limit; they run side by side in their own processes.
    cases = {
        "silent-handshake": (player("silent-handshake"), "ValueError Engine start error (0, 0, 0)"),
        "silent": (player("silent"), "ValueError Game error: BlackTimeout (0, 0, 0)"),
        "late": (player("late"), "ValueError Game error: BlackTimeout (0, 0, 0)"),
    }
    drivers = {name: start_driver(command, player("first"), 2) for name, (command, _) in cases.items()}
    outputs = {name: driver.communicate(timeout=30)[0].split("\n", 1)[1].strip() for name, driver in drivers.items()}
    assert outputs == {name: message for name, (_, message) in cases.items()}


@contextlib.contextmanager
def standard_error(kind):
    """Popen arguments for a driver whose standard error is of `kind`."""
    if kind == "inherited":
        yield {}
    elif kind == "closed":
        yield {"stderr": subprocess.DEVNULL, "preexec_fn": lambda: os.close(2)}
    elif kind == "full":
        with open("/dev/full", "w") as full:
            yield {"stderr": full}
    else:  # a pipe already full, that nobody reads: a blocking write to it never returns
        read_end, write_end = os.pipe()
        try:
            os.set_blocking(write_end, False)
            with contextlib.suppress(BlockingIOError):
                while True:
                    os.write(write_end, b"x" * 4096)
            os.set_blocking(write_end, True)
            yield {"stderr": write_end}
        finally:
            os.close(write_end)
            os.close(read_end)


@pytest.mark.parametrize("stderr", ["full", "closed", "unread-pipe"])
def test_unwritable_standard_error_does_not_fail_the_batch(stderr):
    # The progress bar cannot be drawn, or never finishes drawing; the games must still count.
    with standard_error(stderr) as redirect:
        driver = start_driver(player("first"), player("last"), 4, **redirect)
        try:
            output = driver.communicate(timeout=30)[0].split("\n", 1)[1].strip()
        finally:
            driver.kill()
            driver.wait()
    assert output == f"done {expected_totals(2)[0]}"


@pytest.mark.parametrize("stderr", ["inherited", "unread-pipe"])
@pytest.mark.parametrize("mode", ["silent", "silent-handshake", "random"])
def test_ctrl_c_stops_a_batch_promptly(mode, stderr, pid_dir):
    with standard_error(stderr) as redirect:
        driver = start_driver(player(mode), player(mode), 100_000, **redirect)
        try:
            assert read_line(driver.stdout) == "ready\n"
            deadline = time.monotonic() + 10
            while len(os.listdir(pid_dir)) < 4 and time.monotonic() < deadline:
                time.sleep(0.02)
            time.sleep(0.3)  # the handshakes, the first move requests or the games are under way
            sent = time.monotonic()
            driver.send_signal(signal.SIGINT)
            output = read_line(driver.stdout)
            elapsed = time.monotonic() - sent
            assert driver.wait(timeout=10) == 0
        finally:
            driver.kill()
            driver.wait()
            driver.stdout.close()
    assert output == "KeyboardInterrupt  (0, 0, 0)\n"
    assert elapsed < 1.0


def test_children_the_kernel_reaps_count_as_ended():
    # With SIGCHLD ignored the kernel reaps the programs itself: that is not a failure to end them.
    setup = "signal.signal(signal.SIGCHLD, signal.SIG_IGN)"
    driver = start_driver(player("first"), player("last"), 4, setup)
    output = driver.communicate(timeout=30)[0].split("\n", 1)[1].strip()
    assert output == f"done {expected_totals(2)[0]}"


@pytest.mark.parametrize(
    "other, ending",
    [
        ("first", "done (1, 1, 0)"),
        ("garbage", "ValueError Game error: WhiteInvalidMove (0, 0, 0)"),
        # The helpers' programs answer "ping" before the other program fails its own.
        ("wrong-handshake", "ValueError Engine start error (0, 0, 0)"),
        ("random", "KeyboardInterrupt  (0, 0, 0)"),  # Ctrl-C while the games go on
    ],
    ids=["success", "game-error", "failed-start", "ctrl-c"],
)
def test_processes_a_player_starts_end_with_it(other, ending, pid_dir):
    # Each copy of the first program leaves a helper behind that holds its pipes.
    games = 100_000 if ending.startswith("KeyboardInterrupt") else 2
    driver = start_driver(player("helper+first"), player(other), games)
    try:
        assert read_line(driver.stdout) == "ready\n"
        if ending.startswith("KeyboardInterrupt"):
            deadline = time.monotonic() + 10
            while len(os.listdir(pid_dir)) < 6 and time.monotonic() < deadline:
                time.sleep(0.02)
            time.sleep(0.2)  # the games are under way
            driver.send_signal(signal.SIGINT)
        output = read_line(driver.stdout)
        assert driver.wait(timeout=10) == 0
    finally:
        driver.kill()
        driver.wait()
        driver.stdout.close()
    assert output == ending + "\n"
    records = {int(path.name): path.read_text() for path in pid_dir.iterdir()}
    assert "helper" in records.values()
    if ending != "ValueError Engine start error (0, 0, 0)":
        assert len(records) == 6  # four programs, two helpers
    assert wait_until_ended(list(records)) == []


def test_progress_bar_line_fits_the_terminal_width(tmp_path):
    # No controlling terminal and a pipe for output: the width comes from tput, which reads COLUMNS.
    env = dict(os.environ, COLUMNS="60", LINES="10", TERM="dumb")
    with open(tmp_path / "stderr", "wb") as stderr:
        driver = start_driver(player("first"), player("last"), 4, stderr=stderr, env=env)
        out = driver.communicate(timeout=30)[0]
    assert out.splitlines()[-1].startswith("done")
    err = (tmp_path / "stderr").read_bytes().decode()
    assert err.startswith("\x1b[?25l\r")
    # A frame may be dropped for a newer one, but every frame drawn fills the width exactly.
    frames = [frame.replace("\x1b[?25h", "").replace("\x1b[?25l", "").rstrip("\n") for frame in err.split("\r")[1:]]
    assert frames and all(len(frame) == 60 for frame in frames), frames
    opening = "| 0/4 [00:00<?, ?it/s]"
    if frames[0].startswith("  0%"):
        assert frames[0] == "  0%|" + " " * (60 - 5 - len(opening)) + opening
    final = err.rsplit("\r", 1)[1]
    assert final.endswith("\n")
    final = final[:-1]
    assert len(final) == 60
    prefix, body, suffix = final.split("|")
    assert prefix == "100%"
    assert body == "\u2588" * len(body)
    assert len(prefix) + len(body) + len(suffix) + 2 == 60
    assert suffix.startswith(" 4/4 [00:00<")


def test_argument_errors_and_signatures():
    assert Arena.__text_signature__ == "(command1, command2)"
    assert Arena.play_n.__text_signature__ == "($self, n)"
    assert Arena.get_stats.__text_signature__ == "($self)"
    assert veltrix.__all__.index("Arena") == veltrix.__all__.index("Board") + 1
    with pytest.raises(TypeError, match="argument 'command1'"):
        Arena("python", ["x"])
    with pytest.raises(TypeError, match="argument 'command2'"):
        Arena(["x"], [1])
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'command2'"):
        Arena(["x"])
    arena = Arena(command1=["x"], command2=("y", "z"))
    with pytest.raises(OverflowError):
        arena.play_n(-2)
    with pytest.raises(TypeError, match="argument 'n'"):
        arena.play_n("2")
    with pytest.raises(TypeError):
        type("Sub", (Arena,), {})
