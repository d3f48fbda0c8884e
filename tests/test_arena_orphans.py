"""No player program, nor a helper it started in its process group, outlives the process that
started it, however that process ends: SIGTERM, SIGHUP, SIGKILL or a normal exit, for Arena
(play_n and play) and for NetworkArenaClient. Each host is a real Python process whose
players hang (ignoring SIGTERM and SIGHUP) with a `sleep` helper in their group."""

import os
import signal
import socket
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
STUBBORN = [sys.executable, str(HERE / "players" / "stubborn_player.py")]

# The host runs the call on a thread, so that its main thread can end the process normally
# ("exit") once every program is up; for the signals it just waits to be killed.
HOST = textwrap.dedent(
    """
    import sys, threading, time, veltrix
    how, command, port = sys.argv[1], sys.argv[2:-1], int(sys.argv[-1])
    calls = {
        "play_n": lambda: veltrix.Arena(command, command).play_n(2),
        "play": lambda: veltrix.Arena(command, command).play(2, progress=False),
        "client": lambda: veltrix.NetworkArenaClient(command).connect("127.0.0.1", port),
    }
    threading.Thread(target=calls[how], daemon=True).start()
    time.sleep(float(sys.stdin.readline()))  # told when to go by the test (or killed before)
    """
)


def stat_fields(pid: int) -> list[str] | None:
    """State, ppid, pgid, ... of a live process; None once it is gone or a zombie."""
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except (FileNotFoundError, ProcessLookupError):
        return None
    return None if fields[0] in ("Z", "X") else fields


def live_processes() -> dict[int, list[str]]:
    found = {}
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit() and (fields := stat_fields(int(entry.name))) is not None:
            found[int(entry.name)] = fields
    return found


def cmdline(pid: int) -> bytes:
    try:
        return Path(f"/proc/{pid}/cmdline").read_bytes()
    except OSError:
        return b""


def left_behind(pids: set[int], groups: set[int], host_cmdline: bytes, seconds: float = 5) -> dict[int, str]:
    """What still lives after a bounded wait: any recorded process, any process in a player's
    group, and any copy of the host (its watchdog is one, by its command line)."""
    deadline = time.monotonic() + seconds
    while True:
        found = {}
        for pid, fields in live_processes().items():
            if pid in pids:
                found[pid] = "recorded"
            elif int(fields[2]) in groups:
                found[pid] = f"in group {fields[2]}"
            elif cmdline(pid) == host_cmdline:
                found[pid] = "copy of the host"
        if not found or time.monotonic() >= deadline:
            return found
        time.sleep(0.05)


def wait_for_files(directory: Path, count: int, host: subprocess.Popen, seconds: float = 20) -> None:
    deadline = time.monotonic() + seconds
    while len(list(directory.iterdir())) < count:
        assert host.poll() is None, "the host ended early"
        assert time.monotonic() < deadline, f"only {sorted(p.name for p in directory.iterdir())} started"
        time.sleep(0.02)


@pytest.mark.parametrize("how", ["play_n", "play", "client"])
@pytest.mark.parametrize("ending", [signal.SIGTERM, signal.SIGHUP, signal.SIGKILL, "exit"], ids=lambda ending: getattr(ending, "name", ending))
def test_nothing_outlives_its_host(tmp_path, how, ending):
    if ending == "exit" and how == "play_n":
        pytest.skip("play_n holds the interpreter lock: the host's main thread cannot run meanwhile")
    pid_dir = tmp_path / "pids"
    pid_dir.mkdir()
    script = tmp_path / "host.py"
    script.write_text(HOST)
    with socket.create_server(("127.0.0.1", 0)) as server:
        server.settimeout(20)
        argv = [sys.executable, str(script), how, *STUBBORN, str(server.getsockname()[1])]
        host = subprocess.Popen(argv, stdin=subprocess.PIPE, text=True,
                                env={**os.environ, "VELTRIX_TEST_PID_DIR": str(pid_dir)})
        try:
            connection = server.accept()[0] if how == "client" else None
            programs = 2 if how == "client" else 4
            # Each program records its helper and, once past the handshake, itself.
            wait_for_files(pid_dir, 2 * programs, host)
            recorded = {int(path.name) for path in pid_dir.iterdir()}
            groups = {int(path.name) for path in pid_dir.iterdir() if path.read_text() != "helper"}
            children = {pid for pid, fields in live_processes().items() if int(fields[1]) == host.pid}
            assert groups <= children, "every program is a child of its host"
            host_cmdline = cmdline(host.pid)
            if ending == "exit":
                host.stdin.write("0\n")
                host.stdin.flush()
            else:
                host.send_signal(ending)
            host.wait(timeout=20)
            assert host.returncode == (0 if ending == "exit" else -ending)
            assert left_behind(recorded | children, groups, host_cmdline) == {}
            if connection is not None:
                connection.close()
        finally:
            if host.poll() is None:
                host.kill()
                host.wait()
            host.stdin.close()
            # Whatever failed, nothing of this test is left running for the next one.
            for path in pid_dir.iterdir():
                if path.read_text() != "helper":
                    try:
                        os.killpg(int(path.name), signal.SIGKILL)
                    except ProcessLookupError:
                        pass


# A process forked from one that has a watchdog already (os.fork) has its programs guarded by
# a watchdog of its own: they must not outlive it, while the process it was forked from lives on.
FORKED_HOST = textwrap.dedent(
    """
    import os, sys, time, veltrix
    command = sys.argv[1:]
    try:  # a batch whose programs exit at once: this process now has its watchdog
        veltrix.Arena([sys.executable, "-c", "pass"], [sys.executable, "-c", "pass"]).play_n(2)
    except ValueError:
        pass
    child = os.fork()
    if child == 0:
        veltrix.Arena(command, command).play(2, progress=False)
        os._exit(0)
    print(child, flush=True)
    sys.stdin.readline()
    os.waitpid(child, 0)
    """
)


@pytest.mark.parametrize("ending", [signal.SIGTERM, signal.SIGKILL], ids=lambda ending: ending.name)
def test_nothing_outlives_a_forked_host(tmp_path, ending):
    pid_dir = tmp_path / "pids"
    pid_dir.mkdir()
    script = tmp_path / "host.py"
    script.write_text(FORKED_HOST)
    host = subprocess.Popen([sys.executable, "-W", "ignore", str(script), *STUBBORN], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True, env={**os.environ, "VELTRIX_TEST_PID_DIR": str(pid_dir)})
    try:
        forked = int(host.stdout.readline())
        wait_for_files(pid_dir, 8, host)
        recorded = {int(path.name) for path in pid_dir.iterdir()}
        groups = {int(path.name) for path in pid_dir.iterdir() if path.read_text() != "helper"}
        assert all(int(live_processes()[pid][1]) == forked for pid in groups)
        forked_cmdline = cmdline(forked)
        os.kill(forked, ending)
        # The process it was forked from is still there (it reaps the forked one when told).
        assert left_behind(recorded, groups, b"\0") == {}
        assert stat_fields(host.pid) is not None
        host.stdin.write("\n")
        host.stdin.flush()
        assert host.wait(timeout=20) == 0
        # Both watchdogs are gone now too.
        assert left_behind(set(), set(), forked_cmdline) == {}
    finally:
        if host.poll() is None:
            host.kill()
            host.wait()
        host.stdin.close()
        host.stdout.close()
        for path in pid_dir.iterdir():
            if path.read_text() != "helper":
                try:
                    os.killpg(int(path.name), signal.SIGKILL)
                except ProcessLookupError:
                    pass


# A watchdog killed by hand is replaced at the next program start, which the new one guards.
REPLACED_WATCHDOG = textwrap.dedent(
    """
    import os, signal, sys, time, veltrix
    from pathlib import Path
    command = sys.argv[1:]
    try:  # a batch whose programs exit at once: this process now has its watchdog
        veltrix.Arena([sys.executable, "-c", "pass"], [sys.executable, "-c", "pass"]).play_n(2)
    except ValueError:
        pass
    watchdogs = [int(p.parent.name) for p in Path("/proc").glob("[0-9]*/comm")
                 if p.read_text() == "veltrix-watch\\n" and int(p.parent.name) != os.getpid()
                 and Path(p.parent, "cmdline").read_bytes() == Path("/proc/self/cmdline").read_bytes()]
    assert len(watchdogs) == 1, watchdogs
    os.kill(watchdogs[0], signal.SIGKILL)
    time.sleep(0.2)
    veltrix.Arena(command, command).play(2, progress=False)
    """
)


def test_a_watchdog_killed_by_hand_is_replaced(tmp_path):
    pid_dir = tmp_path / "pids"
    pid_dir.mkdir()
    script = tmp_path / "host.py"
    script.write_text(REPLACED_WATCHDOG)
    host = subprocess.Popen([sys.executable, str(script), *STUBBORN],
                            env={**os.environ, "VELTRIX_TEST_PID_DIR": str(pid_dir)})
    try:
        wait_for_files(pid_dir, 8, host)
        recorded = {int(path.name) for path in pid_dir.iterdir()}
        groups = {int(path.name) for path in pid_dir.iterdir() if path.read_text() != "helper"}
        host_cmdline = cmdline(host.pid)
        host.kill()
        host.wait(timeout=20)
        assert left_behind(recorded, groups, host_cmdline) == {}
    finally:
        if host.poll() is None:
            host.kill()
            host.wait()
        for path in pid_dir.iterdir():
            if path.read_text() != "helper":
                try:
                    os.killpg(int(path.name), signal.SIGKILL)
                except ProcessLookupError:
                    pass
