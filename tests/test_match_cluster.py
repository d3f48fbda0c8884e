"""veltrix-match on a Ray cluster: re-cutting chunks into tasks, task sizes, reassembly, and
a local Ray instance playing real matches (same records as one machine, SPRT stop, a worker
killed mid-match)."""

import concurrent.futures
import functools
import importlib.util
import json
import logging
import os
import platform
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from veltrix_match import Chunk, LocalExecutor, Match, Program, main
from veltrix_match.cluster_tasks import Assembler, ChunkSizer, WorkQueue, missing_files

from test_match_daily import FAILING_BOOK, games_of, write_program

ROOT = Path(__file__).resolve().parent.parent
PLAYERS = Path(__file__).parent / "players"
SCRIPTED = f"{sys.executable} {PLAYERS / 'scripted_player.py'}"
SEARCH = f"{sys.executable} {ROOT / 'examples/players/search_player.py'}"
RANDOM = f"{sys.executable} {ROOT / 'examples/players/random_player.py'}"
OPENINGS = ["f5", "f5d6", "f5f6", "f5f4", "d3", "c4e3"]


def schedule(programs=2, games=12, chunk_games=4, concurrency=2, commands=None):
    commands = commands or [[sys.executable, "-c", str(index)] for index in range(programs)]
    match = Match([Program(f"p{index}", command) for index, command in enumerate(commands)],
                  games, OPENINGS, concurrency=concurrency, chunk_games=chunk_games, forfeit=True)
    return match, list(match.chunks())


def opening_of(chunks, game):
    """The opening the driver's schedule gives `game`."""
    for chunk in chunks:
        if chunk.first_game <= game < chunk.first_game + chunk.games:
            return chunk.openings[(game - chunk.first_game) // 2]
    raise AssertionError(f"game {game} is in no chunk")


def fake_play(chunk):
    """A stand-in for play_chunk: a record made from the chunk alone, at once."""
    return [
        {"game": chunk.first_game + offset, "pairing": chunk.pairing, "black": 1 + offset % 2,
         "opening": chunk.openings[offset // 2], "moves": chunk.openings[offset // 2], "winner": 1,
         "black_discs": 33, "white_discs": 31, "error": None}
        for offset in range(chunk.games)
    ]


# Re-cutting the driver's chunks into tasks.

@settings(max_examples=60, deadline=None)
@given(
    programs=st.integers(2, 4),
    pairs=st.integers(1, 15),
    chunk_pairs=st.integers(1, 6),
    concurrency=st.sampled_from([2, 4, 6]),
    sizes=st.lists(st.integers(1, 9), min_size=1, max_size=6),
)
def test_tasks_cover_every_game_once_with_the_drivers_openings(programs, pairs, chunk_pairs, concurrency, sizes):
    match, chunks = schedule(programs, 2 * pairs, 2 * chunk_pairs, concurrency)
    queue = WorkQueue(iter(chunks))
    taken, last_start = [], {}
    while (task := queue.take(sizes[len(taken) % len(sizes)])) is not None:
        requested = sizes[len(taken) % len(sizes)]
        taken.append(task)
        assert 1 <= task.pairs <= requested
        assert sum(piece.pairs for piece in task.pieces) == task.pairs
        assert {piece.chunk.pairing for piece in task.pieces} == {task.chunk.pairing}
        assert task.chunk.commands == chunks[task.pieces[0].chunk.index].commands
        for before, after in zip(task.pieces, task.pieces[1:]):
            assert before.end_game == after.first_game
        assert task.chunk.first_game == task.pieces[0].first_game
        assert [task.chunk.openings[(game - task.chunk.first_game) // 2] for game in task.games] == [
            opening_of(chunks, game) for game in task.games]
        assert task.chunk.concurrency % 2 == 0
        assert 2 <= task.chunk.concurrency <= max(2, min(concurrency, len(task.games)))
        # Within a pairing, tasks go forward in game order.
        assert task.chunk.first_game > last_start.get(task.chunk.pairing, -1)
        last_start[task.chunk.pairing] = task.chunk.first_game
    games = [game for task in taken for game in task.games]
    assert sorted(games) == list(range(match.total_games))
    assert list(queue.pulled) == chunks


def test_the_queue_pulls_the_drivers_chunks_only_as_far_as_it_needs():
    _, chunks = schedule(games=40, chunk_games=4)
    pulled = []

    def lazily():
        for chunk in chunks:
            pulled.append(chunk)
            yield chunk

    queue = WorkQueue(lazily())
    assert queue.take(1).pairs == 1 and len(pulled) == 1
    assert queue.take(5).pairs == 5 and len(pulled) == 3 and not queue.exhausted


# Putting results back into the driver's chunks.

def test_chunks_come_back_whole_once_each_whatever_the_order_and_repeats():
    _, chunks = schedule(programs=3, games=8, chunk_games=4)
    queue = WorkQueue(chunks)
    tasks = []
    while (task := queue.take(3)) is not None:
        tasks.append(task)
    assembler = Assembler()
    for chunk in queue.pulled:
        assembler.expect(chunk)
    # Finished out of order, and the first task's results delivered a second time.
    deliveries = tasks[::-1] + tasks[:1]
    returned = [done for task in deliveries for done in assembler.add(task, fake_play(task.chunk))]
    assert sorted(chunk.index for chunk, _ in returned) == [chunk.index for chunk in chunks]
    for chunk, records in returned:
        assert records == fake_play(chunk)
    assert assembler.duplicates == len(tasks[0].games)
    assert assembler.open_chunks == 0


@pytest.mark.parametrize(
    "damage",
    [lambda records: records[:-1], lambda records: records + records[:1],
     lambda records: [{**records[0], "game": 999}] + records[1:]],
    ids=["a game missing", "a game twice", "a game of another task"],
)
def test_a_task_whose_records_do_not_match_its_games_is_an_error(damage):
    _, chunks = schedule()
    queue = WorkQueue(chunks)
    task = queue.take(2)
    assembler = Assembler()
    for chunk in queue.pulled:
        assembler.expect(chunk)
    with pytest.raises(ValueError, match="came back as"):
        assembler.add(task, damage(fake_play(task.chunk)))


# How long tasks are.

@pytest.mark.parametrize("game_seconds", [0.001, 0.1, 1.0, 10.0])
@pytest.mark.parametrize("concurrency", [2, 4])
@pytest.mark.parametrize("start_seconds", [0.0, 0.25])
def test_task_size_grows_from_one_round_toward_the_target_time(game_seconds, concurrency, start_seconds):
    def task_seconds(pairs):  # starting the programs, then the rounds of games
        return start_seconds + ChunkSizer.rounds(pairs, concurrency) * game_seconds

    sizer = ChunkSizer(target_seconds=3.0, max_pairs=512, growth=4)
    sizes = []
    for _ in range(12):
        pairs = sizer.pairs(concurrency)
        sizes.append(pairs)
        sizer.observe(pairs, concurrency, task_seconds(pairs))
    assert sizes[0] == concurrency // 2
    assert all(after <= 4 * before for before, after in zip(sizes, sizes[1:]))
    settled = sizes[-1]
    if settled == 512:
        assert task_seconds(settled) < 3.0
    elif settled == concurrency // 2:
        assert task_seconds(settled) >= 1.5  # one round already takes half the target or more
    else:
        # Whole rounds: within a round (and the start-up spread over them) of the target.
        assert 3.0 - game_seconds - start_seconds <= task_seconds(settled) <= 3.0 + start_seconds


def test_task_size_is_the_workers_share_of_the_last_games():
    sizer = ChunkSizer(target_seconds=3.0, growth=4)
    sizer.observe(1, 2, 0.01)
    assert sizer.pairs(2) == 4  # growth limit after one small task
    assert sizer.pairs(2, remaining=6, workers=4) == 2
    assert sizer.pairs(4, remaining=1, workers=4) == 2  # never below one round


@pytest.mark.parametrize("kwargs", [{"target_seconds": 0}, {"max_pairs": 0}, {"growth": 1}])
def test_sizer_settings_are_checked(kwargs):
    with pytest.raises(ValueError):
        ChunkSizer(**kwargs)


# A local Ray instance.

RAY_MISSING = (
    f"Ray is not installed for Python {platform.python_version()}: scripts/test.sh installs it "
    "wherever a Ray wheel exists for that Python (the sanitizer run leaves it out)"
)


@pytest.fixture(scope="module")
def ray_instance():
    if importlib.util.find_spec("ray") is None:
        pytest.skip(RAY_MISSING)
    # As the executor does for a cluster of its own: loopback only, no usage reports.
    saved = {name: os.environ.get(name) for name in ("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "RAY_USAGE_STATS_ENABLED")}
    os.environ.update(RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER="0", RAY_USAGE_STATS_ENABLED="0")
    import ray

    ray.init(num_cpus=2, include_dashboard=False, logging_level=logging.WARNING)
    # The stand-in plays of this file travel to the workers by value.
    ray.cloudpickle.register_pickle_by_value(sys.modules[__name__])
    try:
        yield ray
    finally:
        ray.shutdown()
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


@pytest.fixture
def cluster(ray_instance):
    from veltrix_match import cluster

    return cluster


def play_all(executor, chunks):
    returned = list(executor.run(iter(chunks)))
    games = [record["game"] for _, records in returned for record in records]
    return returned, games


def test_every_chunk_comes_back_once_from_the_cluster(cluster):
    match, chunks = schedule(programs=3, games=20, chunk_games=6)
    executor = cluster.RayExecutor(play=fake_play, target_seconds=0.5)
    returned, games = play_all(executor, chunks)
    assert sorted(chunk.index for chunk, _ in returned) == [chunk.index for chunk in chunks]
    assert sorted(games) == list(range(match.total_games))
    for chunk, records in returned:
        assert records == fake_play(chunk)
    assert executor.retried_chunks == 0 and executor.nodes == {"127.0.0.1"}


@pytest.mark.parametrize("missing", ["veltrix-no-such-program", "./no-such-engine"])
def test_a_program_missing_on_a_node_is_named_with_the_node(cluster, tmp_path, monkeypatch, missing):
    monkeypatch.chdir(tmp_path)
    _, chunks = schedule(commands=[[sys.executable, "-c", "pass"], [missing]])
    executor = cluster.RayExecutor()
    with pytest.raises(cluster.ClusterError, match=rf"not found on node 127\.0\.0\.1: {missing}"):
        play_all(executor, chunks)


@pytest.mark.parametrize(
    "commands, driver_files, missing",
    [
        ([[sys.executable, "-c", "pass"], ["sh", "-c", "true"]], [], []),
        ([["veltrix-no-such-program"], ["sh"]], [], ["veltrix-no-such-program"]),
        ([["./engine"], ["./absent"]], [], ["./absent"]),
        ([["sh", "book.txt", "gone.py"], ["sh", "gone.py"]], ["book.txt", "gone.py"], ["gone.py"]),
    ],
)
def test_missing_files_checks_programs_and_the_files_the_driver_named(tmp_path, monkeypatch, commands,
                                                                       driver_files, missing):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "engine").write_text("#!/bin/sh\n")
    (tmp_path / "engine").chmod(0o755)
    (tmp_path / "book.txt").write_text("f5\n")
    assert missing_files(commands, driver_files) == missing


def slow_play(log, chunk):
    """Plays the chunk holding game 0 at once; holds every other one for up to 30 s, noting
    its start and whether it was interrupted."""
    if chunk.first_game == 0:
        return fake_play(chunk)
    with open(log, "a") as file:
        file.write(f"start {chunk.first_game}\n")
    try:
        for _ in range(600):
            time.sleep(0.05)
    except KeyboardInterrupt:
        with open(log, "a") as file:
            file.write(f"interrupted {chunk.first_game}\n")
        raise
    return fake_play(chunk)


def test_cancel_interrupts_the_running_task_and_starts_no_other(cluster, tmp_path):
    log = tmp_path / "log"
    _, chunks = schedule(games=40, chunk_games=2)
    executor = cluster.RayExecutor(play=functools.partial(slow_play, str(log)))
    results = executor.run(iter(chunks))
    first, _ = next(results)
    assert first.first_game == 0
    for _ in range(600):  # the next task has started on the worker
        if log.exists():
            break
        time.sleep(0.05)
    executor.cancel()
    assert list(results) == []
    lines = log.read_text().splitlines()
    started = [line.split()[1] for line in lines if line.startswith("start")]
    interrupted = [line.split()[1] for line in lines if line.startswith("interrupted")]
    # One task ran (two CPUs, two per task) and was stopped; the one queued never started.
    assert started == interrupted == ["2"]


def gated(pids, gate):
    return f"{sys.executable} {PLAYERS / 'gated_player.py'} {pids} {gate}"


def wait_until(condition, what):
    for _ in range(1200):  # at most a minute
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError(f"gave up waiting for {what}")


def process_exists(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split(")")[-1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def test_a_worker_killed_mid_match_loses_no_game_and_plays_none_twice(cluster, tmp_path):
    pids, gate = tmp_path / "pids", tmp_path / "gate"
    pids.mkdir()
    command = gated(pids, gate).split()
    match, chunks = schedule(games=12, chunk_games=4, commands=[command, command])
    executor = cluster.RayExecutor()
    with concurrent.futures.ThreadPoolExecutor(1) as driver:
        playing = driver.submit(lambda: list(executor.run(iter(chunks))))
        try:
            # The first task's programs are up and held at their first move: end the worker
            # that plays them, then let every game go on.
            wait_until(lambda: len(list(pids.glob("[0-9]*[0-9]"))) >= 4 or playing.done(),
                       "the first task's programs")
            first_programs = [path.name for path in pids.glob("[0-9]*[0-9]")]
            workers = {int(path.read_text()) for path in pids.glob("[0-9]*[0-9]")}
            assert len(workers) == 1
            os.kill(workers.pop(), signal.SIGKILL)
        finally:
            gate.touch()
        returned = playing.result(timeout=120)

    games = [record["game"] for _, records in returned for record in records]
    assert sorted(games) == list(range(match.total_games))
    assert executor.retried_chunks == 1
    expected = dict(LocalExecutor().run(chunks))
    assert {chunk.index: records for chunk, records in returned} == {
        chunk.index: records for chunk, records in expected.items()}
    # The dead worker's programs found their input closed and left.
    wait_until(lambda: not any(process_exists(int(pid)) for pid in first_programs), "orphaned programs")


def read_games(path):
    lines = [json.loads(line) for line in path.read_text().splitlines()]
    return [line for line in lines if line["type"] == "game"], lines[-1]


def test_cluster_ray_without_ray_says_how_to_install_it_and_exits_2(monkeypatch, capsys):
    import veltrix_match

    monkeypatch.setitem(sys.modules, "ray", None)  # as if Ray were not installed
    monkeypatch.delitem(sys.modules, "veltrix_match.cluster", raising=False)
    monkeypatch.delattr(veltrix_match, "cluster", raising=False)
    with pytest.raises(SystemExit) as stopped:
        main(["a", "b", "--cluster", "ray"])
    assert stopped.value.code == 2
    assert "pip install 'veltrix[cluster]'" in capsys.readouterr().err


@pytest.mark.parametrize("failure", ["ImportError('libray.so: cannot open shared object file')",
                                     "RuntimeError('built for another Python')"])
def test_cluster_ray_with_a_ray_that_fails_to_import_says_how_to_install_it_and_exits_2(tmp_path, failure):
    # A package named ray that fails as it is imported, found before any real one.
    (tmp_path / "ray").mkdir()
    (tmp_path / "ray" / "__init__.py").write_text(f"raise {failure}\n")
    path = os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-m", "veltrix_match", "a", "b", "--cluster", "ray"],
                          env={**os.environ, "PYTHONPATH": path}, capture_output=True, text=True,
                          timeout=120, cwd=tmp_path)
    assert done.returncode == 2, done.stderr
    assert "--cluster ray is not available" in done.stderr and "pip install 'veltrix[cluster]'" in done.stderr
    assert failure.split("(")[1].strip("')") in done.stderr and "Traceback" not in done.stderr


def test_a_cluster_address_where_nothing_answers_is_a_usage_error(tmp_path):
    if importlib.util.find_spec("ray") is None:
        pytest.skip(RAY_MISSING)
    # In a process of its own: this one may already be attached to the test cluster.
    done = subprocess.run([sys.executable, "-m", "veltrix_match", "a", "b", "--cluster", "ray",
                           "--address", "127.0.0.1:1"], capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert done.returncode == 2
    assert "cannot reach a Ray cluster at 127.0.0.1:1" in done.stderr


def test_without_an_address_the_match_starts_a_cluster_of_its_own_whatever_ray_address_says(tmp_path):
    if importlib.util.find_spec("ray") is None:
        pytest.skip(RAY_MISSING)
    # Nothing answers there: joining it instead of starting a cluster would fail the match.
    done = subprocess.run([sys.executable, "-m", "veltrix_match", f"{SCRIPTED} first", f"{SCRIPTED} last",
                           "--games", "2", "--cluster", "ray"], env={**os.environ, "RAY_ADDRESS": "127.0.0.1:1"},
                          capture_output=True, text=True, timeout=180, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "Games played: 2 of 2" in done.stdout and "Cluster: 1 tasks on 1 node(s) (127.0.0.1)" in done.stdout


def test_ctrl_c_stops_a_cluster_match_it_started_itself_and_leaves_no_program(tmp_path):
    if importlib.util.find_spec("ray") is None:
        pytest.skip(RAY_MISSING)
    pids, gate = tmp_path / "pids", tmp_path / "gate"
    pids.mkdir()
    # No address: the command starts a local cluster of its own, and shuts it down.
    match = subprocess.Popen(
        [sys.executable, "-m", "veltrix_match", gated(pids, gate), gated(pids, gate), "--games", "8",
         "--time-limit", "60", "--cluster", "ray", "--out", "cut.jsonl"],
        cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        wait_until(lambda: len(list(pids.glob("[0-9]*[0-9]"))) >= 4 or match.poll() is not None,
                   "the first task's programs")
        match.send_signal(signal.SIGINT)
        out, err = match.communicate(timeout=120)
        # Still held at the gate, so only the interrupted task can have ended them.
        programs = [int(path.name) for path in pids.glob("[0-9]*[0-9]")]
        wait_until(lambda: not any(process_exists(pid) for pid in programs), "the programs to end")
    finally:
        gate.touch()
        match.kill()
        match.wait()
    assert match.returncode == 130, err
    assert "Games played: 0 of 8" in out and "Cluster: 0 tasks" in out
    _, summary = read_games(tmp_path / "cut.jsonl")
    assert summary["status"] == "interrupted"


def test_the_cluster_plays_the_same_match_as_one_machine(cluster, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    # Deterministic programs (a random one would play differently once its games are cut
    # differently between processes); the seed picks the openings.
    args = [f"{SCRIPTED} first", f"{SCRIPTED} last", f"{SEARCH} 1", "--games", "8", "--seed", "7",
            "--forfeit", "--chunk-games", "4"]
    assert main([*args, "--out", "local.jsonl"]) == 0
    assert main([*args, "--out", "cluster.jsonl", "--cluster", "ray"]) == 0
    local, local_summary = read_games(tmp_path / "local.jsonl")
    clustered, cluster_summary = read_games(tmp_path / "cluster.jsonl")
    assert len(local) == 24 and len({game["opening"] for game in local}) == 4
    # Pairings interleave in the file as their games come in; each pairing is in game order.
    for games in (local, clustered):
        for pairing in range(3):
            numbers = [game["game"] for game in games if game["pairing"] == pairing]
            assert numbers == sorted(numbers)
    assert sorted(clustered, key=lambda game: game["game"]) == sorted(local, key=lambda game: game["game"])
    assert cluster_summary["pairings"] == local_summary["pairings"]
    assert cluster_summary["retried_chunks"] == 0


def test_an_sprt_decision_stops_the_cluster_and_leaves_no_program(cluster, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    pids = tmp_path / "pids"
    pids.mkdir()
    traced = f"env VELTRIX_TEST_PID_DIR={pids}"
    code = main([f"{traced} {SEARCH} 4", f"{traced} {RANDOM}", "--games", "400", "--sprt", "0", "200",
                 "--seed", "1", "--out", "sprt.jsonl", "--cluster", "ray"])
    assert code == 0
    games, summary = read_games(tmp_path / "sprt.jsonl")
    assert summary["status"] == "sprt" and summary["sprt"]["decision"] == "H1"
    assert len(games) == summary["games_played"] < 400
    wait_until(lambda: not any(process_exists(int(path.name)) for path in pids.iterdir()), "the programs to end")


# Who failed and why, told as on one machine (the cases of test_match_daily, on the cluster).

def said(err):
    """The command's own lines on standard error (Ray forwards the workers' output there too)."""
    return [line for line in err.splitlines() if line.startswith("veltrix-match: ")]


def needs_licence(directory):
    """A program that starts only where VELTRIX_TEST_LICENCE is set: set in this process after
    Ray started, it holds on the driver and not on the workers, a node unlike the driver."""
    return write_program(directory / "licensed.sh", (
        '#!/bin/sh\n[ -n "$VELTRIX_TEST_LICENCE" ] || { echo "no licence on this machine" >&2; exit 1; }\n'
        f'exec {SCRIPTED} first "$@"\n'))


def node_address():
    """The address Ray gives this machine's node (127.0.0.1 for a cluster of its own)."""
    import ray

    return ray.util.get_node_ip_address()


@pytest.mark.parametrize(
    "make, extra, expected",
    [
        (lambda d: "./nosuch", [], ["match stopped: not found on node {node}: ./nosuch"]),
        # Through the --debug relay the node finds nothing missing, and the relay fails.
        (lambda d: "./nosuch", ["--debug", "protocol.log"],
         ["match stopped: Engine start error", "program 'bad' ({bad}) on node {node}: not found"]),
        (lambda d: write_program(d / "dies.sh", "#!/bin/sh\necho 'cannot load weights.bin' >&2\nexit 1\n"), [],
         ["match stopped: Engine start error",
          "program 'bad' ({bad}) on node {node}: exited with status 1 before answering ping: cannot load weights.bin"]),
        (needs_licence, [],
         ["match stopped: Engine start error",
          "program 'bad' ({bad}) on node {node}: exited with status 1 before answering ping: no licence on this machine"]),
    ],
    ids=["not found", "not found, relayed", "exits before ping", "starts on the driver only"],
)
def test_a_program_that_cannot_start_on_a_node_is_named_with_the_reason_found_there(
        cluster, tmp_path, monkeypatch, capsys, make, extra, expected):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("VELTRIX_TEST_LICENCE", "driver")
    bad = make(tmp_path)
    code = main([f"{SCRIPTED} first", bad, "--games", "2", "--name", "good", "--name", "bad", "--cluster", "ray",
                 *extra])
    err = capsys.readouterr().err
    assert code == 1 and "Traceback" not in err
    node = node_address()
    assert said(err) == [f"veltrix-match: {line.format(bad=bad, node=node)}" for line in expected], err


def test_a_game_failure_on_a_node_names_program_game_opening_reply_and_node(cluster, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "book.txt").write_text(FAILING_BOOK)
    # Six games: only game 4 (the fifth) meets the position the program fails at.
    args = [f"{SCRIPTED} first", f"{SCRIPTED} garbage-at-discs 5", "--games", "6", "--openings", "book.txt",
            "--name", "good", "--name", "bad", "--cluster", "ray"]
    assert main(args) == 1
    assert said(capsys.readouterr().err) == [
        "veltrix-match: match stopped: Game error: WhiteInvalidMove (--forfeit scores a failing program's game as a loss)",
        f"veltrix-match: game 5 (opening f5) on node {node_address()}: program 'bad' (White) answered '19abc', "
        "not a legal move",
    ]

    assert main([*args, "--forfeit", "--out", "g.jsonl"]) == 0
    games = games_of(tmp_path / "g.jsonl")
    assert sorted((game["game"], game["reply"]) for game in games if game["error"]) == [(4, "19abc")]
    assert len(games) == 6 and all(game["reply"] is None for game in games if not game["error"])


def test_a_match_error_reaches_the_driver_typed_with_its_attributes(cluster):
    from veltrix_match import GameFailure

    def fail_at_game_2(chunk):
        if not chunk.first_game <= 2 < chunk.first_game + chunk.games:
            return fake_play(chunk)
        error = GameFailure("Game error: WhiteInvalidMove")
        error.game, error.opening, error.reply = 2, "f5", "a9"
        raise error

    _, chunks = schedule(games=4, chunk_games=4)
    with pytest.raises(GameFailure, match="^Game error: WhiteInvalidMove$") as failed:
        play_all(cluster.RayExecutor(play=fail_at_game_2), chunks)
    error = failed.value
    assert type(error) is GameFailure  # not Ray's wrapper of it
    assert (error.game, error.opening, error.reply, error.node) == (2, "f5", "a9", node_address())
