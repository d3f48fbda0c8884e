"""The network arena over loopback: a real match, and hand-written peers on raw sockets."""

import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import veltrix

HERE = Path(__file__).resolve().parent
PLAYER = str(HERE / "players" / "net_player.py")
TAG = b"##SUPER##"
START = veltrix.Board().get_board_line().encode()
HOST = "127.0.0.1"


def player(mode: str) -> list[str]:
    return [sys.executable, PLAYER, mode]


def children() -> list[int]:
    """Processes whose parent is this test process (zombies included)."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            stat = (entry / "stat").read_text()
        except OSError:
            continue
        if int(stat.rsplit(")", 1)[1].split()[1]) == os.getpid():
            found.append(int(entry.name))
    return found


@pytest.fixture(autouse=True)
def no_children_left():
    yield
    assert children() == []


class Background:
    """Runs a blocking call on a thread and keeps its outcome."""

    def __init__(self, function, *args):
        self.error: BaseException | None = None
        self.thread = threading.Thread(target=self._run, args=(function, args), daemon=True)
        self.thread.start()

    def _run(self, function, args):
        try:
            function(*args)
        except BaseException as error:  # kept for the test to check
            self.error = error

    def join(self, timeout: float = 20.0) -> "Background":
        self.thread.join(timeout)
        assert not self.thread.is_alive(), "the call did not return"
        return self

    def message(self) -> str:
        self.join()
        assert isinstance(self.error, ValueError), repr(self.error)
        return str(self.error)


class Peer:
    """A raw socket read and written in lines."""

    def __init__(self, sock: socket.socket):
        sock.settimeout(15)
        self.sock = sock
        self.pending = b""

    def send(self, data: bytes) -> None:
        self.sock.sendall(data)

    def line(self) -> bytes:
        while b"\n" not in self.pending:
            data = self.sock.recv(4096)
            if not data:
                raise EOFError(self.pending)
            self.pending += data
        line, _, self.pending = self.pending.partition(b"\n")
        return line + b"\n"

    def rest(self) -> bytes:
        """Everything until the other side closes."""
        data = self.pending
        while chunk := self.sock.recv(4096):
            data += chunk
        return data

    def close(self) -> None:
        self.sock.close()


class Listener:
    """A fake server's listening socket; the peers it accepts are closed with it."""

    def __init__(self):
        self.sock = socket.create_server((HOST, 0))
        self.sock.settimeout(15)
        self.port = self.sock.getsockname()[1]
        self.peers: list[Peer] = []

    def accept(self) -> Peer:
        peer = Peer(self.sock.accept()[0])
        self.peers.append(peer)
        return peer

    def close(self) -> None:
        for peer in self.peers:
            peer.close()
        self.sock.close()


@pytest.fixture
def listener():
    server = Listener()
    yield server
    server.close()


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind((HOST, 0))
        return probe.getsockname()[1]


# ---- The Python surface ----


def test_constructors_and_fresh_totals():
    with pytest.raises(ValueError, match="^Game count must be even$"):
        veltrix.NetworkArenaServer(3)
    veltrix.NetworkArenaServer(game_per_iter=0)
    with pytest.raises(OverflowError):
        veltrix.NetworkArenaServer(-2)
    with pytest.raises(TypeError, match="game_per_iter"):
        veltrix.NetworkArenaServer("4")
    with pytest.raises(TypeError, match="command"):
        veltrix.NetworkArenaClient("python")
    client = veltrix.NetworkArenaClient(command=player("first"))
    assert client.get_stats() == (0, 0, 0)
    assert client.get_pieces() == (0, 0)
    assert veltrix.NetworkArenaServer.start.__text_signature__ == "($self, addr, port)"
    assert veltrix.NetworkArenaClient.connect.__text_signature__ == "($self, addr, port)"
    assert veltrix.NetworkArenaClient.__text_signature__ == "(command)"
    assert veltrix.NetworkArenaServer.__doc__ == ""


@pytest.mark.parametrize(
    ("command", "port", "message"),
    [
        (player("first"), None, "^NetworkArenaClient error: ConnectionRefused"),
        ([], 1, "^NetworkArenaClient error: InvalidInput: empty command$"),
    ],
)
def test_connect_failures(command, port, message):
    client = veltrix.NetworkArenaClient(command)
    with pytest.raises(ValueError, match=message):
        client.connect(HOST, free_port() if port is None else port)


def test_port_out_of_range():
    with pytest.raises(OverflowError):
        veltrix.NetworkArenaClient(player("first")).connect(addr=HOST, port=65536)


def test_connect_releases_the_interpreter_but_keeps_the_object(listener):
    client = veltrix.NetworkArenaClient(player("echo"))
    job = Background(client.connect, HOST, listener.port)
    peer = listener.accept()
    # This thread runs while connect waits, and finds the client exclusively borrowed.
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        client.get_stats()
    with pytest.raises(RuntimeError, match="Already borrowed"):
        client.connect(HOST, 1)
    peer.send(TAG + b" quit\n")
    assert peer.line() == b"ok\n"
    assert job.join().error is None


# ---- A fake server driving one client ----


def test_client_answers_every_line_of_the_protocol(listener):
    client = veltrix.NetworkArenaClient(player("echo"))
    for round_ in range(2):
        job = Background(client.connect, HOST, listener.port)
        peer = listener.accept()
        # Two lines in one send.
        peer.send(TAG + b" isready\n" + TAG + b" black " + START + b"\n")
        assert peer.line() == b"readyok\n"
        assert peer.line() == b"black BLACK:" + START + b"\n"
        # One line split across sends, ended by CR LF.
        peer.send(TAG + b" whi")
        time.sleep(0.05)
        peer.send(b"te " + START + b"\r\n")
        assert peer.line() == b"white WHITE:" + START + b"\n"
        peer.send(TAG + b" stats 3 1 0\n")
        assert peer.line() == b"ok\n"
        peer.send(TAG + b"\tpieces  120 80 \n")
        assert peer.line() == b"ok\n"
        peer.send(TAG + TAG + b" quit\n")
        assert peer.line() == b"ok\n"
        assert job.join().error is None
        assert peer.rest() == b""
        peer.close()
        assert client.get_stats() == (3 * (round_ + 1), round_ + 1, 0)
        assert client.get_pieces() == (120 * (round_ + 1), 80 * (round_ + 1))


@pytest.mark.parametrize(
    "line",
    [
        b"isready\n",
        b"\n",
        b"##SUPER\n",
        TAG + b"\n",
        TAG + b"   \n",
        TAG + b" black " + START + b" extra\n",
        TAG + b" black\n",
        TAG + b" stats 1 2\n",
        TAG + b" stats 1 x 2\n",
        TAG + b" stats -1 2 3\n",
        TAG + b" pieces 1 99999999999999999999999\n",
        TAG + b" quit now\n",
        TAG + b" ISREADY\n",
        TAG + b" hello\n",
        TAG + b" " + b"1" * 5000,
    ],
)
def test_client_refuses_unexpected_lines(listener, line):
    client = veltrix.NetworkArenaClient(player("echo"))
    job = Background(client.connect, HOST, listener.port)
    peer = listener.accept()
    peer.send(line)
    assert job.message() == "Unexpected server response"
    assert peer.rest() == b""  # nothing was answered
    assert client.get_stats() == (0, 0, 0)


def test_client_ends_when_the_server_goes(listener):
    client = veltrix.NetworkArenaClient(player("echo"))
    job = Background(client.connect, HOST, listener.port)
    peer = listener.accept()
    peer.send(TAG + b" isready\n")
    assert peer.line() == b"readyok\n"
    peer.close()
    assert job.message() == "Connection broken"


def test_client_relays_a_program_that_has_gone_as_an_empty_reply(listener):
    client = veltrix.NetworkArenaClient(player("exit"))
    job = Background(client.connect, HOST, listener.port)
    peer = listener.accept()
    peer.send(TAG + b" black " + START + b"\n")
    assert peer.line() == b"black \n"
    peer.close()
    assert job.message() == "Connection broken"


def test_client_refuses_a_program_that_fails_the_handshake(listener):
    client = veltrix.NetworkArenaClient(player("badpong"))
    job = Background(client.connect, HOST, listener.port)
    peer = listener.accept()
    assert job.message() == "NetworkArenaClient error: Other: ping-pong test failed"
    assert peer.rest() == b""


def test_client_gives_up_on_a_silent_server(listener):
    client = veltrix.NetworkArenaClient(player("echo"))
    started = time.monotonic()
    job = Background(client.connect, HOST, listener.port)
    peer = listener.accept()
    assert job.message().startswith("NetworkArenaClient error: TimedOut")
    assert 9.5 < time.monotonic() - started < 15
    peer.close()
