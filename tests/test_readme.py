"""Every code block of the README runs as written, in a fresh interpreter from the repository's
root, with `python` on PATH being the interpreter that runs the tests (as after
`source .venv/bin/activate`).

A block can carry a marker comment on the line before it: "run by .ci/run" (the set-up commands,
which would run this suite inside itself: CI runs each of them), "one terminal per command"
(started side by side, the first stopped at the end), or "not run" (timings that take minutes,
or commands for a cluster of machines: the files they name must exist).
"""

import os
import pathlib
import re
import signal
import subprocess
import sys
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BLOCK = re.compile(r"(?:<!-- readme-test: (?P<marker>[^>]*?) -->\n)?```(?P<lang>\w*)\n(?P<body>.*?)```", re.S)
BLOCKS = [(m["marker"] or "", m["lang"], m["body"]) for m in BLOCK.finditer((ROOT / "README.md").read_text())]


def environment() -> dict[str, str]:
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join([str(pathlib.Path(sys.executable).parent), env.get("PATH", "")])
    env.pop("PYTHONPATH", None)
    return env


def test_every_block_is_covered_here():
    kinds = {(marker.split(";")[0], lang) for marker, lang, _ in BLOCKS}
    assert kinds <= {("", "python"), ("run by .ci/run", "sh"), ("one terminal per command", "sh"),
                     ("not run (each command runs for minutes and prints timings)", "sh"),
                     ("not run (needs a cluster of machines)", "sh"),
                     ("not run (needs an NBoard engine that is not installed)", "sh")}, kinds
    assert sum(lang == "python" for _, lang, _ in BLOCKS) >= 5


@pytest.mark.parametrize("body", [body for marker, lang, body in BLOCKS if lang == "python"],
                         ids=lambda body: body.splitlines()[0][:40])
def test_python_block_runs_on_its_own(body):
    result = subprocess.run([sys.executable, "-c", body], cwd=ROOT, env=environment(), capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, result.stderr


def test_setup_commands_are_what_ci_runs():
    ci = (ROOT / ".ci" / "run").read_text()
    for marker, _, body in BLOCKS:
        if marker == "run by .ci/run":
            for line in body.splitlines():
                command = line.split("#")[0].strip()
                assert command and re.search(rf"\b{re.escape(command)}\n", ci), command


def test_files_named_by_blocks_not_run_exist():
    for marker, _, body in BLOCKS:
        if marker.startswith("not run"):
            for path in re.findall(r"(?:python|bash) (\S+\.(?:py|sh))", body):
                assert (ROOT / path).is_file(), path


def split_commands(body: str) -> list[str]:
    """Commands of a shell block, a quoted argument running over several lines kept whole."""
    commands, current = [], ""
    for line in body.splitlines(keepends=True):
        current += line
        if current.count("'") % 2 == 0:
            commands.append(current.strip())
            current = ""
    assert current == ""
    return commands


def port_of(command: str) -> int:
    return int(re.search(r'"127\.0\.0\.1", (\d+)', command)[1])


def listening(port: int) -> bool:
    """Whether a socket listens on `port`, read from the kernel's tables: connecting to find out
    would be taken by the server for one of its two clients."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            lines = pathlib.Path(table).read_text().splitlines()[1:]
        except OSError:
            continue
        for line in lines:
            local, state = line.split()[1], line.split()[3]
            if state == "0A" and int(local.rsplit(":", 1)[1], 16) == port:
                return True
    return False


def wait_for_listener(port: int, server: subprocess.Popen, deadline: float) -> None:
    while time.monotonic() < deadline:
        if server.poll() is not None:
            _, err = server.communicate()
            if "Address already in use" in err:  # another run took the port first
                pytest.skip(f"port {port} is already in use on this machine")
            pytest.fail(f"the server stopped: {err}")
        if listening(port):
            return
        time.sleep(0.05)
    pytest.fail("the server did not listen in time")


@pytest.mark.parametrize("body", [body for marker, lang, body in BLOCKS if marker.startswith("one terminal")])
def test_commands_for_separate_terminals_run_side_by_side(body):
    server_command, *client_commands = split_commands(body)
    port = port_of(server_command)
    if listening(port):
        pytest.skip(f"port {port} is already in use on this machine")
    env = environment()
    server = subprocess.Popen(["bash", "-c", server_command], cwd=ROOT, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, start_new_session=True)
    clients = []
    try:
        wait_for_listener(port, server, time.monotonic() + 60)
        clients = [subprocess.Popen(["bash", "-c", c], cwd=ROOT, env=env, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True, start_new_session=True)
                   for c in client_commands]
        for client in clients:
            out, err = client.communicate(timeout=300)
            assert client.returncode == 0, err
            assert re.fullmatch(r"\(\d+, \d+, \d+\) \(\d+, \d+\)\n", out), out
    finally:
        # Ctrl-C, as in a terminal; then the kill for anything still running.
        if server.poll() is None:
            os.killpg(server.pid, signal.SIGINT)
        try:
            server_out, _ = server.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            server_out = ""
        for process in [server, *clients]:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
    assert "Client 0 connected" in server_out and "Clients disconnected" in server_out, server_out
