"""Arena.play against real child processes: records, openings, time limits, forfeits, workers."""

import os
import re
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from processes import player
from reference import BLACK, WHITE, RefBoard
from veltrix import Arena

OPENINGS = ["f5d6c3d3c4", "F5F6E6F4", "c4e3", "d3c5f6f5e6e3", "e6f4"]


pytestmark = pytest.mark.usefixtures("pid_dir")


def square(name):
    return (int(name[1]) - 1) * 8 + "abcdefgh".index(name[0].lower())


def replay(transcript):
    """The reference board after `transcript` (passes implicit); fails on an illegal move."""
    board = RefBoard.initial()
    for at in range(0, len(transcript), 2):
        if not board.legal_moves() and not board.game_over():
            board.pass_turn()
        pos = square(transcript[at:at + 2])
        assert pos in board.legal_moves(), f"move {at // 2 + 1} of {transcript} is illegal"
        board.play(pos)
    return board


def scripted_game(opening, black_pick, white_pick):
    """The whole transcript of a game from `opening` between two move-picking functions."""
    board = replay(opening)
    moves = opening.lower()
    while not board.game_over():
        if not board.legal_moves():
            board.pass_turn()
            continue
        pos = (black_pick if board.to_move == BLACK else white_pick)(board.legal_moves())
        moves += "abcdefgh"[pos % 8] + str(pos // 8 + 1)
        board.play(pos)
    return moves


def check_record(record, index):
    """A record agrees with a replay of its transcript and with the pairing of its index."""
    assert record.black == (1 if index % 2 == 0 else 2)
    assert record.moves.startswith(record.opening)
    board = replay(record.moves)
    assert (record.black_discs, record.white_discs) == (board.count(BLACK), board.count(WHITE))
    if record.error is None:
        assert board.game_over()
        black_command, white_command = record.black, 3 - record.black
        expected = (None if board.count(BLACK) == board.count(WHITE)
                    else black_command if board.count(BLACK) > board.count(WHITE) else white_command)
        assert record.winner == expected


def totals_of(records):
    """get_stats() and get_pieces() as the records add them up."""
    wins = [0, 0, 0]
    pieces = [0, 0]
    for r in records:
        wins[2 if r.winner is None else r.winner - 1] += 1
        first_black = r.black == 1
        pieces[0] += r.black_discs if first_black else r.white_discs
        pieces[1] += r.white_discs if first_black else r.black_discs
    return tuple(wins), tuple(pieces)


def test_records_agree_with_an_independent_replay_and_with_the_totals(pid_dir):
    arena = Arena(player("random"), player("padded"))
    arena.play_n(2)
    before = arena.get_stats(), arena.get_pieces()
    records = arena.play(12, openings=OPENINGS, concurrency=4, progress=False)
    assert len(records) == 12 and len(os.listdir(pid_dir)) == 4 + 8
    for index, record in enumerate(records):
        assert isinstance(record, Arena.GameRecord)
        assert record.opening == OPENINGS[(index // 2) % len(OPENINGS)].lower()
        assert record.error is None
        check_record(record, index)
    (stats, pieces), (wins_before, pieces_before) = totals_of(records), before
    assert arena.get_stats() == tuple(a + b for a, b in zip(stats, wins_before))
    assert arena.get_pieces() == tuple(a + b for a, b in zip(pieces, pieces_before))
    # A record is a plain value: a tuple with named fields that survives pickling.
    assert tuple(records[0]) == (records[0].black, records[0].opening, records[0].moves, records[0].winner,
                                 records[0].black_discs, records[0].white_discs, records[0].error)
    assert pickle.loads(pickle.dumps(records[0])) == records[0]


@pytest.mark.parametrize("concurrency", [2, 4])
def test_openings_are_played_with_both_colours_in_turn(concurrency):
    # Deterministic programs: every game is known in advance, so order and pairing show exactly.
    first, last = min, max
    arena = Arena(player("first"), player("last"))
    openings = ["", "f5d6", "C4E3F6E6F5"]
    records = arena.play(8, openings=openings, concurrency=concurrency, progress=False)
    expected = []
    for index in range(8):
        opening = openings[(index // 2) % len(openings)]
        expected.append(scripted_game(opening, first, last) if index % 2 == 0 else scripted_game(opening, last, first))
    assert [r.moves for r in records] == expected
    assert [r.opening for r in records] == ["", "", "f5d6", "f5d6", "c4e3f6e6f5", "c4e3f6e6f5", "", ""]
    for index, record in enumerate(records):
        check_record(record, index)


def test_deterministic_programs_play_a_different_game_on_each_opening():
    arena = Arena(player("first"), player("last"))
    records = arena.play(2 * len(OPENINGS), openings=OPENINGS, progress=False)
    assert len({r.moves for r in records}) == len(records)
    # Without openings the same two games repeat.
    assert len({r.moves for r in arena.play(6, progress=False)}) == 2


def test_an_opening_that_ends_the_game_is_scored_as_it_stands():
    # A whole game as the opening: nothing is left to play, no program is asked anything.
    whole = scripted_game("", max, min)
    final = replay(whole)
    records = Arena(player("silent"), player("silent")).play(2, openings=[whole.upper()], progress=False)
    for index, record in enumerate(records):
        assert (record.opening, record.moves, record.error) == (whole, whole, None)
        assert (record.black_discs, record.white_discs) == (final.count(BLACK), final.count(WHITE))
        check_record(record, index)


@pytest.mark.parametrize(
    "openings, message",
    [
        (["f5d6", "f5f5"], "Invalid opening 'f5f5': illegal move 'f5' at index 1"),
        (["z9"], "Invalid opening 'z9': unparsable move 'z9' at index 0"),
        (["f5d"], "Invalid opening 'f5d': unparsable move 'd' at index 1"),
        (["f5 d6"], "Invalid opening 'f5 d6': unparsable move ' d' at index 1"),
        (["f5\0d6"], "Invalid opening 'f5\\\\x00d6': unparsable move '\\\\x00d' at index 1"),
        (["a1"], "Invalid opening 'a1': illegal move 'a1' at index 0"),
        # A long opening is quoted by its first 40 characters, marked as cut (never echoed whole).
        (["f5" * 5_000_000], re.escape(f"Invalid opening '{'f5' * 20}'... (cut; 10000000 characters in all): ")
         + "illegal move 'f5' at index 1"),
        (["f5d6" + "\u00e9" * 50], re.escape(f"Invalid opening 'f5d6{'\u00e9' * 36}'... (cut; 54 characters in all): ")
         + "unparsable move '\u00e9' at index 2"),
        ([], "openings must hold at least one transcript"),
    ],
)
def test_a_bad_opening_is_refused_before_any_program_starts(openings, message, pid_dir):
    arena = Arena(player("first"), player("first"))
    with pytest.raises(ValueError, match=f"^{message}$") as raised:
        arena.play(2, openings=openings)
    assert len(str(raised.value)) < 200
    assert os.listdir(pid_dir) == []
    assert arena.get_stats() == (0, 0, 0)


FAULTS = {"crash": "Crash", "exit": "InvalidMove", "illegal": "InvalidMove", "hang": "Timeout"}


@pytest.mark.parametrize("kind", FAULTS)
@pytest.mark.parametrize("side", [1, 2])
def test_a_forfeit_loses_one_game_keeps_the_others_and_restarts_the_program(kind, side, tmp_path, pid_dir):
    faulty = player("once", kind, tmp_path / "marker")
    arena = Arena(faulty, player("first")) if side == 1 else Arena(player("first"), faulty)
    records = arena.play(8, time_limit=2.0, on_error="forfeit", progress=False)
    forfeits = [(i, r) for i, r in enumerate(records) if r.error is not None]
    assert len(forfeits) == 1
    index, lost = forfeits[0]
    colour = "Black" if (lost.black == side) else "White"
    assert lost.error == colour + FAULTS[kind]
    assert lost.winner == 3 - side
    check_record(lost, index)
    # Every other game is the one game two first-move programs play, in full.
    clean = scripted_game("", min, min)
    assert [r.moves for i, r in enumerate(records) if i != index] == [clean] * 7
    # Four programs, and one more for the restart before the faulty worker's next game.
    assert len(os.listdir(pid_dir)) == 5
    assert arena.get_stats()[side - 1] == sum(r.winner == side for r in records)
    assert sum(arena.get_stats()) == 8


@pytest.mark.parametrize("kind", FAULTS)
def test_without_forfeits_a_failing_game_fails_the_batch(kind, tmp_path):
    marker = tmp_path / "marker"
    arena = Arena(player("first"), player("once", kind, marker))
    marker.touch()  # no fault yet
    arena.play(2, progress=False)
    before = arena.get_stats(), arena.get_pieces()
    marker.unlink()
    with pytest.raises(ValueError, match=f"^Game error: (Black|White){FAULTS[kind]}$"):
        arena.play(8, time_limit=2.0, concurrency=4, progress=False)
    assert (arena.get_stats(), arena.get_pieces()) == before


def test_a_program_that_cannot_restart_loses_its_next_games_as_crashes(tmp_path, pid_dir):
    # Each colour's first process crashes at its first move; every later one fails the handshake.
    script = tmp_path / "fragile.py"
    script.write_text(textwrap.dedent(f"""
        import os, sys
        open(os.path.join(os.environ["VELTRIX_TEST_PID_DIR"], str(os.getpid())), "w").close()
        marker = os.path.join({str(tmp_path)!r}, "started-" + sys.argv[-1])
        if os.path.exists(marker):
            sys.exit(1)
        open(marker, "w").close()
        sys.stdin.readline()
        print("pong", flush=True)
        sys.stdin.readline()
        sys.exit(2)
    """))
    arena = Arena([sys.executable, str(script)], player("first"))
    records = arena.play(6, openings=["f5d6"], on_error="forfeit", progress=False)
    # Its first processes leave at their first move (the end of their output, an unreadable
    # answer), and the restarts fail: those games are lost as crashes before any move.
    assert [r.error for r in records] == ["BlackInvalidMove", "WhiteInvalidMove"] + ["BlackCrash", "WhiteCrash"] * 2
    assert [r.winner for r in records] == [2] * 6
    assert [r.moves for r in records[2:]] == ["f5d6"] * 4
    assert {(r.black_discs, r.white_discs) for r in records[2:]} == {(3, 3)}
    for index, record in enumerate(records):
        check_record(record, index)
    assert arena.get_stats() == (0, 6, 0)
    # Four programs, then one failed restart before each of the four later games.
    assert len(os.listdir(pid_dir)) == 4 + 4


def test_time_limit_is_honoured_both_ways(tmp_path):
    # One wait of 0.6 s per program: within a limit of 3 s, beyond one of 0.2 s.
    arena = Arena(player("slow", 0.6), player("slow", 0.6))
    records = arena.play(2, time_limit=3.0, progress=False)
    assert [r.error for r in records] == [None, None]
    records = arena.play(2, time_limit=0.2, on_error="forfeit", progress=False)
    assert [r.error for r in records] == ["BlackTimeout", "BlackTimeout"]
    assert [r.winner for r in records] == [2, 1]


def test_a_limit_longer_than_the_default_lets_a_slow_move_through():
    records = Arena(player("slow", 5.5), player("first")).play(2, time_limit=8.0, progress=False)
    assert [r.error for r in records] == [None, None]


@pytest.mark.parametrize("n, concurrency, started", [(8, 4, 8), (16, 8, 16), (2, 8, 4), (0, 4, 4)])
def test_each_worker_has_its_own_programs_and_all_are_reaped(n, concurrency, started, pid_dir):
    arena = Arena(player("random"), player("first"))
    records = arena.play(n, concurrency=concurrency, progress=False)
    assert len(records) == n
    assert len(os.listdir(pid_dir)) == started  # the fixture checks that none is left


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"n": 3}, ValueError, "^Game count must be even$"),
        ({"n": -2}, OverflowError, None),
        ({"n": "2"}, TypeError, "argument 'n'"),
        ({"n": 2, "concurrency": 3}, ValueError, "^concurrency must be an even number of at least 2$"),
        ({"n": 2, "concurrency": 0}, ValueError, "^concurrency must be an even number of at least 2$"),
        ({"n": 2, "concurrency": -2}, OverflowError, None),
        ({"n": 2, "concurrency": 2.0}, TypeError, "argument 'concurrency'"),
        ({"n": 2, "time_limit": 0}, ValueError, "^time_limit must be a positive number of seconds$"),
        ({"n": 2, "time_limit": -1.5}, ValueError, "^time_limit must be a positive number of seconds$"),
        ({"n": 2, "time_limit": float("nan")}, ValueError, "^time_limit must be a positive number of seconds$"),
        ({"n": 2, "time_limit": float("inf")}, OverflowError, "^time_limit is too large$"),
        ({"n": 2, "time_limit": 10 ** 400}, OverflowError, None),
        ({"n": 2, "time_limit": "5"}, TypeError, "argument 'time_limit'"),
        ({"n": 2, "on_error": "ignore"}, ValueError, "^on_error must be 'raise' or 'forfeit'$"),
        ({"n": 2, "on_error": None}, TypeError, "argument 'on_error'"),
        ({"n": 2, "openings": "f5d6"}, TypeError, "argument 'openings'"),
        ({"n": 2, "openings": [1]}, TypeError, "argument 'openings'"),
        ({"n": 2, "progress": 1}, TypeError, "argument 'progress'"),
        ({"n": 2, "colour": 1}, TypeError, r"^Arena.play\(\) got an unexpected keyword argument 'colour'$"),
        ({}, TypeError, r"^Arena.play\(\) missing 1 required positional argument: 'n'$"),
    ],
)
def test_argument_errors(kwargs, error, message, pid_dir):
    arena = Arena(player("first"), player("first"))
    with pytest.raises(error, match=message):
        arena.play(**kwargs)
    assert os.listdir(pid_dir) == []


@pytest.mark.parametrize("n", [2 ** 62, 2 ** 64 - 2])
def test_more_games_than_records_fit_in_memory(n, pid_dir):
    arena = Arena(player("first"), player("first"))
    with pytest.raises(MemoryError):
        arena.play(n, progress=False)
    assert arena.get_stats() == (0, 0, 0)


def test_signature_and_positional_use():
    assert Arena.play.__text_signature__ == (
        "($self, n, *, openings=None, time_limit=5.0, concurrency=2, on_error='raise', progress=True)")
    arena = Arena(player("first"), player("first"))
    with pytest.raises(TypeError, match=r"^Arena.play\(\) takes 1 positional argument but 2 were given$"):
        arena.play(2, None)
    with pytest.raises(TypeError, match=r"^Arena.play\(\) got multiple values for argument 'n'$"):
        arena.play(2, n=2)
    assert "GameRecord" not in dir(__import__("veltrix"))


def test_the_interpreter_runs_other_threads_while_the_arena_stays_borrowed():
    arena = Arena(player("slow", 1.0), player("slow", 1.0))
    done = threading.Event()
    outcome = []
    worker = threading.Thread(target=lambda: (outcome.append(arena.play(2, progress=False)), done.set()))
    worker.start()
    try:
        ticks = 0
        deadline = time.monotonic() + 30
        while not done.is_set() and time.monotonic() < deadline:
            ticks += 1  # runs only while play has released the interpreter
            if ticks == 5:
                with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                    arena.get_stats()
            time.sleep(0.05)
    finally:
        worker.join(timeout=30)
    assert ticks >= 5 and len(outcome[0]) == 2
    assert sum(arena.get_stats()) == 2


DRIVER = textwrap.dedent(
    """
    import signal, sys, veltrix
    # A shell that starts the suite in the background leaves SIGINT ignored; take it back.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    arena = veltrix.Arena(eval(sys.argv[1]), eval(sys.argv[2]))
    print("ready", flush=True)
    try:
        records = arena.play(int(sys.argv[3]), **eval(sys.argv[4]))
    except BaseException as error:
        print(type(error).__name__, error, arena.get_stats(), flush=True)
    else:
        print("done", len(records), arena.get_stats(), flush=True)
    """
)


def start_driver(command1, command2, n, options, **kwargs):
    return subprocess.Popen(
        [sys.executable, "-c", DRIVER, repr(command1), repr(command2), str(n), repr(options)],
        stdout=subprocess.PIPE, text=True, start_new_session=True, **kwargs,
    )


@pytest.mark.parametrize("progress", [False, True])
def test_progress_false_draws_nothing(progress, tmp_path):
    with open(tmp_path / "stderr", "wb") as stderr:
        driver = start_driver(player("first"), player("last"), 4, {"progress": progress}, stderr=stderr)
        out = driver.communicate(timeout=30)[0]
    assert out.splitlines()[-1].startswith("done 4 (")
    drawn = (tmp_path / "stderr").read_text()
    assert ("4/4" in drawn) if progress else drawn == ""


@pytest.mark.parametrize("mode, options", [("silent", {"concurrency": 4}), ("silent-handshake", {}),
                                           ("silent", {"on_error": "forfeit", "time_limit": 60.0})])
def test_ctrl_c_stops_play_promptly_and_reaps_every_program(mode, options, pid_dir):
    driver = start_driver(player(mode), player(mode), 1000, options)
    expected = 2 * options.get("concurrency", 2)
    try:
        assert driver.stdout.readline() == "ready\n"
        deadline = time.monotonic() + 10
        while len(os.listdir(pid_dir)) < expected and time.monotonic() < deadline:
            time.sleep(0.02)
        time.sleep(0.3)  # the handshakes (or the first move requests) are under way
        sent = time.monotonic()
        driver.send_signal(signal.SIGINT)
        output = driver.stdout.readline()
        elapsed = time.monotonic() - sent
        assert driver.wait(timeout=10) == 0
    finally:
        driver.kill()
        driver.wait()
        driver.stdout.close()
    assert output == "KeyboardInterrupt  (0, 0, 0)\n"
    assert elapsed < 1.0
    assert len(os.listdir(pid_dir)) == expected
