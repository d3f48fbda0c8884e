"""The network arena over loopback: a real match, and hand-written peers on raw sockets."""

import fcntl
import os
import select
import signal
import socket
import struct
import subprocess
import sys
import termios
import textwrap
import threading
import time
from pathlib import Path

import pytest

import veltrix
from processes import alive, children_of, wait_until_ended

HERE = Path(__file__).resolve().parent
PLAYER = str(HERE / "players" / "net_player.py")
BUNDLED = HERE.parent / "examples" / "players"
TAG = b"##SUPER##"
START = veltrix.Board().get_board_line().encode()
HOST = "127.0.0.1"


def player(mode: str) -> list[str]:
    return [sys.executable, PLAYER, mode]


@pytest.fixture(autouse=True)
def no_children_left():
    yield
    assert children_of(os.getpid()) == []


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


#: Shortens the network arena's fixed limits (10 s of silence, 5 s for a pong or a send) in a
#: process started with it, by this factor.
TIME_SCALE = 0.05
#: A player that starts in a moment, well within a scaled pong limit: "pong", then an echo.
SHELL_ECHO = ["sh", "-c", "read line; echo pong; exec cat", "shell-echo"]

QUICK_CLIENT = textwrap.dedent("""
    import sys, veltrix
    client = veltrix.NetworkArenaClient(sys.argv[3:])
    try:
        client.connect(sys.argv[1], int(sys.argv[2]))
    except ValueError as error:
        print(error)
""")


class QuickClient:
    """A client in a process of its own whose fixed limits are scaled by TIME_SCALE."""

    def __init__(self, command: list[str], port: int):
        env = dict(os.environ, VELTRIX_TEST_TIME_SCALE=str(TIME_SCALE))
        self.started = time.monotonic()
        self.process = subprocess.Popen([sys.executable, "-c", QUICK_CLIENT, HOST, str(port), *command],
                                        stdout=subprocess.PIPE, text=True, env=env)

    def message(self) -> tuple[str, float]:
        """What `connect` raised, and how long after the start it ended."""
        out, _ = self.process.communicate(timeout=20)
        return out.strip(), time.monotonic() - self.started


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
    with pytest.raises(ValueError, match="embedded null character"):
        veltrix.NetworkArenaClient([sys.executable, "player\0.py"])
    client = veltrix.NetworkArenaClient(command=player("first"))
    with pytest.raises(ValueError, match="embedded null character"):
        client.connect("127.0.0.1\0", 1)
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


def test_server_reports_a_port_it_cannot_bind(listener):
    with pytest.raises(ValueError, match=r"^NetworkArenaServer error: AddrInUse \(os error 98\): "):
        veltrix.NetworkArenaServer(2).start(HOST, listener.port)


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


def test_client_answers_for_a_program_whose_output_has_closed(listener):
    client = veltrix.NetworkArenaClient(player("closeout"))
    job = Background(client.connect, HOST, listener.port)
    peer = listener.accept()
    peer.sock.settimeout(3)  # far less than the server would wait for a move
    for _ in range(2):  # the program still reads its requests, but can no longer answer them
        peer.send(TAG + b" black " + START + b"\n")
        assert peer.line() == b"black \n"
    peer.send(TAG + b" quit\n")
    assert peer.line() == b"ok\n"
    assert job.join().error is None


@pytest.mark.parametrize(
    ("mode", "message"),
    [
        ("badpong", "NetworkArenaClient error: Other: ping-pong test failed"),
        ("silent", "NetworkArenaClient error: TimedOut: no pong within 5 seconds"),  # as the local arena waits
    ],
)
def test_client_refuses_a_program_that_fails_the_handshake(listener, mode, message):
    if mode == "silent":  # the five seconds scaled down
        client = QuickClient(player(mode), listener.port)
        peer = listener.accept()
        assert client.message()[0] == message
    else:
        job = Background(veltrix.NetworkArenaClient(player(mode)).connect, HOST, listener.port)
        peer = listener.accept()
        assert job.message() == message
    assert peer.rest() == b""


MAX = 2**64 - 1


@pytest.mark.parametrize(
    ("reports", "stats", "pieces"),
    [
        ([b" stats %d 0 0\n" % MAX, b" stats 1 0 0\n"], (MAX, 0, 0), (0, 0)),
        # Only the draws would overflow: the line is refused whole, wins and losses included.
        ([b" stats 1 2 %d\n" % MAX, b" stats 5 5 1\n"], (1, 2, MAX), (0, 0)),
        ([b" pieces 7 %d\n" % MAX, b" pieces 1 1\n"], (0, 0, 0), (7, MAX)),
        ([b" pieces %d 3\n" % MAX, b" pieces 1 0\n"], (0, 0, 0), (MAX, 3)),
    ],
)
def test_client_refuses_a_report_that_would_overflow_a_counter(listener, reports, stats, pieces):
    client = veltrix.NetworkArenaClient(player("echo"))
    job = Background(client.connect, HOST, listener.port)
    peer = listener.accept()
    peer.send(TAG + reports[0])
    assert peer.line() == b"ok\n"
    peer.send(TAG + reports[1])
    assert job.message() == "Unexpected server response"
    assert peer.rest() == b""  # the refused report is not answered
    assert (client.get_stats(), client.get_pieces()) == (stats, pieces)


def flood_without_reading(peer: Peer) -> None:
    """Sends readiness checks and never reads a reply, until the client stops reading too
    (its replies have filled both sides' buffers)."""
    peer.sock.settimeout(2)
    chunk = (TAG + b" isready\n") * 4096
    # A client that gives up first closes the connection instead.
    with pytest.raises((TimeoutError, ConnectionError)):
        for _ in range(10_000):  # 740 MB at most: far more than any socket buffers hold
            peer.sock.sendall(chunk)


@pytest.fixture
def stingy_listener():
    """A listener whose connections take in little: a client's unread replies soon fill it."""
    server = Listener()
    server.sock.close()
    server.sock = socket.socket()
    server.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    server.sock.bind((HOST, 0))
    server.sock.listen()
    server.sock.settimeout(15)
    server.port = server.sock.getsockname()[1]
    yield server
    server.close()


def test_client_gives_up_on_a_server_that_stops_reading(stingy_listener):
    client = QuickClient(SHELL_ECHO, stingy_listener.port)
    flood_without_reading(stingy_listener.accept())
    message = client.message()[0]
    assert message.startswith("NetworkArenaClient error: TimedOut") and "pong" not in message


def test_client_ends_the_helpers_of_its_programs(listener, tmp_path, monkeypatch):
    # Each program starts a helper that holds its pipes; the client ends both with their group.
    monkeypatch.setenv("VELTRIX_TEST_PID_DIR", str(tmp_path))
    for ending in ("quit", "server-gone"):
        client = veltrix.NetworkArenaClient(player("helper"))
        job = Background(client.connect, HOST, listener.port)
        peer = listener.accept()
        peer.send(TAG + b" isready\n")
        assert peer.line() == b"readyok\n"  # both programs have started their helpers
        if ending == "quit":
            peer.send(TAG + b" quit\n")
            assert peer.line() == b"ok\n"
            assert job.join().error is None
        else:
            peer.close()
            assert job.message() == "Connection broken"
        pids = [int(path.name) for path in tmp_path.iterdir()]
        assert len(pids) == 4
        assert wait_until_ended(pids) == []
        for path in tmp_path.iterdir():
            path.unlink()


def test_client_gives_up_on_a_silent_server(listener):
    client = QuickClient(SHELL_ECHO, listener.port)
    peer = listener.accept()
    message, elapsed = client.message()
    assert message.startswith("NetworkArenaClient error: TimedOut") and "pong" not in message
    # Ten seconds of silence, scaled; the start of the interpreter and the programs comes on top.
    assert 10 * TIME_SCALE <= elapsed < 10
    peer.close()


# ---- Fake clients driving the server ----


def connect_peer(port: int) -> Peer:
    """Connects to a server that may still be starting. The server accepts connections in the
    order they were established, so of two peers connected one after the other the first is
    client 0."""
    deadline = time.monotonic() + 10
    while True:
        try:
            return Peer(socket.create_connection((HOST, port), timeout=15))
        except ConnectionRefusedError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)


def server_sockets() -> set[str]:
    """The sockets this process holds now (the server under test runs in it)."""
    found = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if target.startswith("socket:"):
            found.add(target)
    return found


def wait_until_accepted(before: set[str], count: int) -> None:
    """Waits until the server has accepted `count` connections made after `before` was taken:
    each makes two new sockets in this process, the peer's and the server's side."""
    deadline = time.monotonic() + 10
    while len(server_sockets() - before) < 2 * count:
        assert time.monotonic() < deadline, "the server did not accept the connections"
        time.sleep(0.005)


def move_for(request: bytes) -> bytes:
    seat, position = request.split()[1:]
    board = veltrix.Board()
    board.set_board_str(position.decode(), veltrix.Turn.BLACK if seat == b"black" else veltrix.Turn.WHITE)
    return seat + b" %d\n" % board.get_legal_moves_vec()[0]


def play_fake_client(peer: Peer, outcome: dict, messy: bool = False, hold: bool = False,
                     held_answer: str = "together-reversed") -> None:
    """Plays first legal moves. A holding client keeps its first move request until the other
    seat's request has come too, and answers the two as `held_answer` says: in one send or
    apart (the second a little later, while the server waits for it), in the order asked or
    reversed. A messy client also sends lines that are no replies, and each reply in two pieces
    ended by CR LF."""
    reports = []
    while True:
        lines = [peer.line()]
        if hold and lines[0].split()[1] in (b"black", b"white"):
            lines.append(peer.line())
            assert lines[1].split()[1] != lines[0].split()[1]
            outcome["reversed"] = True
            hold = False
        replies = []
        for line in (lines if held_answer.endswith("in-order") else reversed(lines)):
            words = line.split()
            assert words[0] == TAG
            if words[1] == b"isready":
                replies.append(b"readyok\r\n")
            elif words[1] in (b"black", b"white"):
                replies.append(move_for(line))
            else:
                reports.append(words[1:])
                replies.append(b"ok\n")
        if messy and replies[0].split()[0] in (b"black", b"white"):
            replies = [b"hello\n" + TAG + b" black 3\n" + b"".join(replies).replace(b"\n", b"\r\n")]
            peer.send(replies[0][:-4])
            time.sleep(0.001)
            peer.send(replies[0][-4:])
        elif held_answer.startswith("apart") and len(replies) == 2:
            peer.send(replies[0])
            time.sleep(0.05)
            peer.send(replies[1])
        else:
            peer.send(b"".join(replies))
        if reports and reports[-1] == [b"quit"]:
            outcome["reports"] = reports
            return


def test_server_plays_a_match_and_serves_the_next_pair(capfd):
    port = free_port()
    server = veltrix.NetworkArenaServer(2)
    job = Background(server.start, HOST, port)
    peers = [connect_peer(port), None]
    peers[1] = connect_peer(port)
    outcomes = [{}, {}]
    players = [
        Background(play_fake_client, peers[0], outcomes[0], False, True),
        Background(play_fake_client, peers[1], outcomes[1], True),
    ]
    for background in players:
        assert background.join().error is None
    reports = [outcome["reports"] for outcome in outcomes]
    assert [report[0] for report in reports[0]] == [b"stats", b"pieces", b"quit"]
    wins, losses, draws = (int(n) for n in reports[0][0][1:])
    assert wins + losses + draws == 2
    assert reports[1][0][1:] == [b"%d" % losses, b"%d" % wins, b"%d" % draws]
    assert reports[1][1][1:] == reports[0][1][1:][::-1]
    assert outcomes[0]["reversed"]
    for peer in peers:
        assert peer.rest() == b""  # the server closed after quit
        peer.close()

    # The next pair is served without a restart; this one is not ready.
    second = [connect_peer(port), None]
    second[1] = connect_peer(port)
    for peer, reply in zip(second, [b"  readyok \t\n", b"ready\n"]):
        assert peer.line() == TAG + b" isready\n"
        peer.send(reply)
    assert job.message() == "Client not ready"
    for peer in second:
        peer.close()
    # The second pair never played: the status lines are for the clients of a match only.
    assert capfd.readouterr().out == "Client 0 connected\nClient 1 connected\nClients disconnected\n"


@pytest.mark.parametrize("held_answer", ["together-in-order", "together-reversed", "apart-in-order", "apart-reversed"])
def test_server_sorts_both_seats_replies_however_they_arrive(capfd, held_answer):
    # Client 0 answers its two seats' requests only once both have come, so both of the
    # server's games wait on its connection at once; no reply may be lost or misfiled.
    port = free_port()
    job = Background(veltrix.NetworkArenaServer(2).start, HOST, port)
    peers = [connect_peer(port), None]
    peers[1] = connect_peer(port)
    outcomes = [{}, {}]
    players = [
        Background(play_fake_client, peers[0], outcomes[0], False, True, held_answer),
        Background(play_fake_client, peers[1], outcomes[1]),
    ]
    for background in players:
        assert background.join().error is None
    assert outcomes[0]["reversed"]
    stats = [[int(n) for n in outcome["reports"][0][1:]] for outcome in outcomes]
    assert sum(stats[0]) == sum(stats[1]) == 2
    assert stats[1] == [stats[0][1], stats[0][0], stats[0][2]]
    for peer in peers:
        peer.close()
    output = Output(capfd)
    output.wait_for(1, "Clients disconnected")
    stop_with_a_client_not_ready(job, port, output)


class Output:
    """The server's status lines, read from the captured standard output as they come."""

    def __init__(self, capfd):
        self.capfd = capfd
        self.text = ""

    def wait_for(self, count: int, line: str) -> None:
        deadline = time.monotonic() + 10
        while self.text.count(line) < count:
            assert time.monotonic() < deadline, f"no {line!r} from the server: {self.text!r}"
            time.sleep(0.01)
            self.text += self.capfd.readouterr().out


def leave(peer: Peer, how: str) -> None:
    if how == "reset":
        peer.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
    peer.close()


def play_match(peers: list[Peer]) -> list[list]:
    """Both fake clients play a match to its end; their reports."""
    outcomes = [{}, {}]
    jobs = [Background(play_fake_client, peer, outcome) for peer, outcome in zip(peers, outcomes)]
    for job in jobs:
        assert job.join().error is None
    return [outcome["reports"] for outcome in outcomes]


def stop_with_a_client_not_ready(job: Background, port: int, output: Output) -> None:
    """Ends the server's start() through the specified error: a second client that is not ready."""
    late = [connect_peer(port)]
    late.append(connect_peer(port))
    for peer, reply in zip(late, [b"readyok\n", b"ready\n"]):
        assert peer.line() == TAG + b" isready\n"
        peer.send(reply)
    assert job.message() == "Client not ready"
    for peer in late:
        peer.close()


@pytest.mark.parametrize("how", ["close", "reset"])
@pytest.mark.parametrize("when", ["waiting", "probe", "during-match"])
def test_server_frees_the_slot_of_a_connection_that_closed_while_waiting(capfd, when, how):
    port = free_port()
    job = Background(veltrix.NetworkArenaServer(2).start, HOST, port)
    output = Output(capfd)
    if when == "during-match":
        held = server_sockets()
        first = [connect_peer(port)]
        first.append(connect_peer(port))
        wait_until_accepted(held, 2)  # both slots are taken
        leave(connect_peer(port), how)  # waits in the backlog while the match runs, then gives up
        play_match(first)
        for peer in first:
            peer.close()
    elif when == "waiting":
        held = server_sockets()
        gone = connect_peer(port)
        wait_until_accepted(held, 1)  # taken into slot 0
        leave(gone, how)
    else:
        leave(connect_peer(port), how)  # a bare probe of the port
    peers = [connect_peer(port)]
    peers.append(connect_peer(port))
    reports = play_match(peers)
    assert [report[0][0] for report in reports] == [b"stats", b"stats"]
    output.wait_for(1 + (when == "during-match"), "Clients disconnected")
    for peer in peers:
        peer.close()
    stop_with_a_client_not_ready(job, port, output)


def intrude(port: int, how: str) -> Peer | None:
    """A connection that is no client: it holds for a while and closes, resets, or stays
    silent (returned, open, for the caller to close)."""
    peer = connect_peer(port)
    kind, _, held = how.partition("-")
    time.sleep(int(held or 0) / 1000)
    if kind == "silent":
        return peer
    leave(peer, kind)
    return None


INTRUSIONS = ["close-0", "close-50", "close-500", "reset-0", "reset-50", "silent", "reset-200"]


@pytest.mark.parametrize("order", ["client-waits", "intruder-first"])
@pytest.mark.parametrize("how", [*INTRUSIONS, "all"])
def test_server_drops_a_connection_that_fails_before_the_match(capfd, monkeypatch, how, order):
    # Probes, health checks and silent connections come and go while a real client waits:
    # each is dropped, the waiting client keeps its place, and the next real client plays it.
    monkeypatch.setenv("VELTRIX_TEST_TIME_SCALE", "0.05")  # a handshake limit of 0.5 s
    port = free_port()
    job = Background(veltrix.NetworkArenaServer(2).start, HOST, port)
    silent = []
    outcomes = [{}, {}]
    peers = []
    players = []
    if order == "client-waits":
        peers.append(connect_peer(port))
        players.append(Background(play_fake_client, peers[0], outcomes[0]))
    for intrusion in INTRUSIONS if how == "all" else [how]:
        if (peer := intrude(port, intrusion)) is not None:
            silent.append(peer)
    peers.append(connect_peer(port))
    players.append(Background(play_fake_client, peers[-1], outcomes[len(peers) - 1]))
    if order == "intruder-first":
        peers.append(connect_peer(port))
        players.append(Background(play_fake_client, peers[-1], outcomes[1]))
    for player in players:
        assert player.join().error is None
    stats = [[int(n) for n in outcome["reports"][0][1:]] for outcome in outcomes]
    assert sum(stats[0]) == sum(stats[1]) == 2
    assert stats[1] == [stats[0][1], stats[0][0], stats[0][2]]
    assert job.thread.is_alive()
    output = Output(capfd)
    output.wait_for(1, "Clients disconnected")
    # Status lines for the two that played, and none for the intruders.
    assert output.text == "Client 0 connected\nClient 1 connected\nClients disconnected\n"
    for peer in silent:
        assert peer.line() == TAG + b" isready\n"  # asked, never answered: dropped
        assert peer.rest() == b""
        peer.close()
    for peer in peers:
        peer.close()
    stop_with_a_client_not_ready(job, port, output)


@pytest.mark.parametrize("value", ["0.03", "nonsense", "-1", "0", "2"])
def test_the_handshake_limit_can_be_shortened_for_tests(capfd, monkeypatch, value):
    # A silent newcomer is dropped once the limit has passed: 10 s unless a valid scale.
    monkeypatch.setenv("VELTRIX_TEST_TIME_SCALE", value)
    port = free_port()
    job = Background(veltrix.NetworkArenaServer(2).start, HOST, port)
    peers = [connect_peer(port)]
    peers.append(connect_peer(port))
    assert peers[0].line() == TAG + b" isready\n"
    peers[0].sock.settimeout(1.5)
    if value == "0.03":
        assert peers[0].rest() == b""  # closed by the server after 0.3 s
    else:
        with pytest.raises(TimeoutError):
            peers[0].rest()  # still asked after 1.5 s: the limit is the full 10 s
    for peer in peers:
        peer.close()
    assert job.thread.is_alive()
    stop_with_a_client_not_ready(job, port, Output(capfd))


def start_server_with(replies: list[bytes]) -> tuple[Background, list[Peer], veltrix.NetworkArenaServer, int]:
    """A server whose two clients answer the readiness check with `replies`."""
    port = free_port()
    server = veltrix.NetworkArenaServer(4)
    job = Background(server.start, HOST, port)
    peers = [connect_peer(port)]
    peers.append(connect_peer(port))
    for peer, reply in zip(peers, replies):
        assert peer.line() == TAG + b" isready\n"
        if reply:
            peer.send(reply)
        else:
            peer.close()
        if reply.strip() != b"readyok":
            break  # the server asks the second client only once the first is ready
    return job, peers, server, port


@pytest.mark.parametrize(
    "replies",
    [[b"ready\n"], [b"readyok readyok\n"], [b"READYOK\n"], [b"readyok\n", b"ok\n"]],
)
def test_server_refuses_a_client_that_is_not_ready(replies):
    job, peers, _, _ = start_server_with(replies)
    assert job.message() == "Client not ready"
    for peer in peers:
        peer.close()


@pytest.mark.parametrize(
    ("answer", "error"),
    [
        (None, r"GameError\(Black(InvalidMove|Crash)\)"),  # the client goes mid-match
        (b"black " + b"7" * 5000, r"GameError\(BlackInvalidMove\)"),  # a line without end
        (b"white 5\n" * 300, r"GameError\(BlackCrash\)"),  # a flood for the other seat
        (b"black 0\n", r"GameError\(BlackInvalidMove\)"),  # not a legal move
    ],
)
def test_server_ends_the_match_on_a_misbehaving_client(capfd, answer, error):
    job, peers, server, port = start_server_with([b"readyok\r\n", b"readyok"])
    assert peers[0].line() == TAG + b" black " + START + b"\n"
    if answer is None:
        peers[0].close()
    else:
        peers[0].send(answer)
    message = job.message()
    assert message.startswith("NetworkArenaServer error: ")
    assert __import__("re").search(error, message), message
    for peer in peers:
        peer.close()

    # The failed start left no client behind: a new start waits for two new ones.
    again = Background(server.start, HOST, port)
    time.sleep(0.3)
    assert again.thread.is_alive()
    late = [connect_peer(port)]
    late.append(connect_peer(port))
    assert late[0].line() == TAG + b" isready\n"
    late[0].send(b"ready\n")
    assert again.message() == "Client not ready"
    for peer in late:
        peer.close()
    # The second start's pair never played, so it printed no status line.
    assert capfd.readouterr().out.count("Client 1 connected\n") == 1


# ---- A real match, and Ctrl-C ----

SERVER = textwrap.dedent(
    """
    import sys, veltrix
    try:
        veltrix.NetworkArenaServer(4).start("127.0.0.1", int(sys.argv[1]))
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    """
)


def wait_for_line(server: subprocess.Popen, expected: str) -> None:
    """Reads one status line of a server subprocess (unbuffered), failing after a while."""
    line = b""
    while not line.endswith(b"\n"):
        assert select.select([server.stdout], [], [], 20)[0], f"no {expected!r} from the server"
        byte = server.stdout.read(1)
        assert byte, f"the server ended before {expected!r}"
        line += byte
    assert line.decode() == expected + "\n"


def start_server_process(port: int) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-c", SERVER, str(port)], stdout=subprocess.PIPE, bufsize=0)


def connect_when_listening(client: veltrix.NetworkArenaClient, port: int) -> None:
    """connect, retried while the server subprocess is still starting up."""
    deadline = time.monotonic() + 10
    while True:
        try:
            return client.connect(HOST, port)
        except ValueError as error:
            if "ConnectionRefused" not in str(error) or time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def test_real_match_between_two_clients_and_ctrl_c_on_the_server():
    port = free_port()
    server = start_server_process(port)
    try:
        clients = [
            veltrix.NetworkArenaClient([sys.executable, str(BUNDLED / "search_player.py"), "1"]),
            veltrix.NetworkArenaClient([sys.executable, str(BUNDLED / "random_player.py")]),
        ]
        for _ in range(2):  # two pairs, one server run
            first = Background(connect_when_listening, clients[0], port)
            time.sleep(0.5)  # the first to connect is client 0
            second = Background(connect_when_listening, clients[1], port)
            # Printed once both have answered the readiness check.
            wait_for_line(server, "Client 0 connected")
            wait_for_line(server, "Client 1 connected")
            for job in (first, second):
                assert job.join(60).error is None
            wait_for_line(server, "Clients disconnected")
        wins, losses, draws = clients[0].get_stats()
        assert wins + losses + draws == 8
        assert clients[1].get_stats() == (losses, wins, draws)
        own, opponent = clients[0].get_pieces()
        assert clients[1].get_pieces() == (opponent, own)
        assert 8 * 2 <= own + opponent <= 8 * 64

        started = time.monotonic()
        server.send_signal(signal.SIGINT)  # it is waiting in accept
        assert server.stdout.read() == b"interrupted\n"
        assert server.wait(5) == 0
        assert time.monotonic() - started < 1.5
    finally:
        server.kill()
        server.wait()
        server.stdout.close()


def test_ctrl_c_stops_the_server_in_a_match():
    port = free_port()
    server = start_server_process(port)
    try:
        peers = [connect_peer(port)]
        peers.append(connect_peer(port))
        for peer in peers:
            assert peer.line() == TAG + b" isready\n"
            peer.send(b"readyok\n")
        wait_for_line(server, "Client 0 connected")
        wait_for_line(server, "Client 1 connected")
        assert peers[0].line().startswith(TAG + b" black ")  # and never answered
        started = time.monotonic()
        server.send_signal(signal.SIGINT)
        assert server.stdout.read() == b"interrupted\n"
        assert server.wait(5) == 0
        assert time.monotonic() - started < 1.5
        for peer in peers:
            peer.close()
    finally:
        server.kill()
        server.wait()
        server.stdout.close()


CLIENT = textwrap.dedent(
    """
    import sys, veltrix
    try:
        veltrix.NetworkArenaClient([sys.executable, sys.argv[2], sys.argv[3]]).connect("127.0.0.1", int(sys.argv[1]))
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    """
)


def input_pipe(pid: int) -> tuple[int, int]:
    """Bytes waiting in the pipe on a process's standard input, and what it holds at most
    (seen through a second read end, which reads nothing)."""
    fd = os.open(f"/proc/{pid}/fd/0", os.O_RDONLY | os.O_NONBLOCK)
    try:
        waiting = struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4))[0]
        return waiting, fcntl.fcntl(fd, fcntl.F_GETPIPE_SZ)
    finally:
        os.close(fd)


def fill_the_input_of_a_program(peer: Peer, pid: int) -> None:
    """Sends move requests to a program that reads none until its pipe is all but full: the
    client, with more requests received, is then stuck writing the next one."""
    request = TAG + b" black " + START + b"\n"
    capacity = input_pipe(pid)[1]
    peer.send(request * (capacity // len(START) + 100))
    deadline = time.monotonic() + 10
    while input_pipe(pid)[0] < capacity - 4096:  # within a page of full
        assert time.monotonic() < deadline, "the client did not fill the program's pipe"
        time.sleep(0.01)


@pytest.mark.parametrize(
    ("server", "mode"),
    [("waiting", "echo"), ("not-reading", "echo"), ("sending-to-a-program-that-does-not-read", "deaf")],
)
def test_ctrl_c_stops_the_client_and_ends_its_programs(stingy_listener, tmp_path, server, mode):
    environment = dict(os.environ, VELTRIX_TEST_PID_DIR=str(tmp_path))
    client = subprocess.Popen(
        [sys.executable, "-c", CLIENT, str(stingy_listener.port), PLAYER, mode],
        stdout=subprocess.PIPE, text=True, env=environment,
    )
    try:
        peer = stingy_listener.accept()
        peer.send(TAG + b" isready\n")
        assert peer.line() == b"readyok\n"  # both programs are running now
        pids = [int(path.name) for path in tmp_path.iterdir()]
        assert len(pids) == 2
        if server == "not-reading":
            flood_without_reading(peer)  # the client is stuck sending its replies
        elif mode == "deaf":
            # The client is stuck writing a request that the black program's pipe cannot
            # take, a write that would otherwise only end after five seconds.
            black = next(pid for pid in pids if Path(f"/proc/{pid}/cmdline").read_bytes().endswith(b"BLACK\0"))
            fill_the_input_of_a_program(peer, black)
        started = time.monotonic()
        client.send_signal(signal.SIGINT)
        assert select.select([client.stdout], [], [], 10)[0], "the client did not stop"
        assert client.stdout.read() == "interrupted\n"
        assert client.wait(5) == 0
        assert time.monotonic() - started < 1.5
        if server == "waiting":
            assert peer.rest() == b""
        for pid in pids:
            with pytest.raises(ProcessLookupError):
                os.kill(pid, 0)
    finally:
        client.kill()
        client.wait()
        client.stdout.close()


# ---- Peers that have gone never kill the process (SIGPIPE at its default action) ----


DEFAULT_SIGPIPE = "import signal; signal.signal(signal.SIGPIPE, signal.SIG_DFL)\n"


def test_server_survives_writing_to_a_client_that_has_gone():
    script = DEFAULT_SIGPIPE + textwrap.dedent(
        """
        import sys, veltrix
        try:
            veltrix.NetworkArenaServer(0).start("127.0.0.1", int(sys.argv[1]))
        except ValueError as error:
            print(error, flush=True)
        """
    )
    port = free_port()
    server = subprocess.Popen([sys.executable, "-c", script, str(port)], stdout=subprocess.PIPE, bufsize=0)
    try:
        peers = [connect_peer(port)]
        peers.append(connect_peer(port))
        assert peers[0].line() == TAG + b" isready\n"
        peers[0].send(b"readyok\n")
        assert peers[1].line() == TAG + b" isready\n"
        peers[0].close()  # gone before its report is written
        peers[1].send(b"readyok\n")
        wait_for_line(server, "Client 0 connected")
        wait_for_line(server, "Client 1 connected")
        assert server.wait(10) == 0
        assert server.stdout.read().startswith(b"NetworkArenaServer error: ")
        peers[1].close()
    finally:
        server.kill()
        server.wait()
        server.stdout.close()


def test_client_survives_writing_to_a_program_that_has_gone(listener, tmp_path):
    script = DEFAULT_SIGPIPE + textwrap.dedent(
        """
        import sys, veltrix
        try:
            veltrix.NetworkArenaClient([sys.executable, sys.argv[2], "exit"]).connect("127.0.0.1", int(sys.argv[1]))
        except ValueError as error:
            print(error, flush=True)
        # The call leaves SIGPIPE neither blocked nor pending on this thread.
        blocked = signal.SIGPIPE in signal.pthread_sigmask(signal.SIG_BLOCK, [])
        print("blocked" if blocked else "", "pending" if signal.SIGPIPE in signal.sigpending() else "", flush=True)
        """
    )
    environment = dict(os.environ, VELTRIX_TEST_PID_DIR=str(tmp_path))
    client = subprocess.Popen(
        [sys.executable, "-c", script, str(listener.port), PLAYER], stdout=subprocess.PIPE, env=environment
    )
    try:
        peer = listener.accept()
        peer.send(TAG + b" black " + START + b"\n")
        assert peer.line() == b"black \n"  # the program left without answering
        # Its output may close a moment before its input does: wait until it has quite gone.
        pids = [int(path.name) for path in tmp_path.iterdir()]
        deadline = time.monotonic() + 5
        while all(alive(pid) for pid in pids):
            assert time.monotonic() < deadline, "the program did not exit"
            time.sleep(0.01)
        peer.send(TAG + b" black " + START + b"\n")
        assert client.wait(10) == 0
        assert client.stdout.read() == b"NetworkArenaClient error: Other: Write error\n \n"
    finally:
        client.kill()
        client.wait()
        client.stdout.close()
