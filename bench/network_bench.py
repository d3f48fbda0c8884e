"""Network arena throughput: games per second of a loopback match (a NetworkArenaServer in a
child process and two NetworkArenaClients here) against the local Arena, both with the same
fast native players (first legal move), measured side by side in one run.

Usage: python bench/network_bench.py [--games N] [--rounds R]
"""

import argparse
import os
import socket
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import veltrix

sys.path.insert(0, str(Path(__file__).resolve().parent))
from arena_throughput import compile_programs, moves_per_game  # noqa: E402

HOST = "127.0.0.1"
SERVER = "import sys, veltrix; veltrix.NetworkArenaServer(int(sys.argv[1])).start(sys.argv[2], int(sys.argv[3]))"


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind((HOST, 0))
        return probe.getsockname()[1]


def wait_listening(port: int) -> None:
    """Waits until the server listens, without taking one of its two client slots."""
    suffix = f":{port:04X}"
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            try:
                lines = Path(table).read_text().splitlines()[1:]
            except OSError:
                continue
            # Fields: slot, local address, remote address, state (0A is LISTEN), ...
            if any(line.split()[1].endswith(suffix) and line.split()[3] == "0A" for line in lines):
                return
        time.sleep(0.02)
    raise SystemExit("the server did not start listening")


def network_rate(port: int, player: Path, games: int) -> float:
    """Games per second of one match: from the two connects to their return."""
    clients = [veltrix.NetworkArenaClient([str(player)]) for _ in range(2)]
    errors: list[BaseException] = []

    def run(client: veltrix.NetworkArenaClient) -> None:
        try:
            client.connect(HOST, port)
        except BaseException as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=run, args=(client,)) for client in clients]
    started = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    seconds = time.perf_counter() - started
    if errors:
        raise SystemExit(f"the network match failed: {errors[0]}")
    assert sum(clients[0].get_stats()) == games
    return games / seconds


def local_rate(player: Path, games: int) -> float:
    arena = veltrix.Arena([str(player)], [str(player)])
    started = time.perf_counter()
    arena.play_n(games)
    seconds = time.perf_counter() - started
    assert sum(arena.get_stats()) == games
    return games / seconds


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--games", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    player, _ = compile_programs()
    port = free_port()
    server = subprocess.Popen([sys.executable, "-c", SERVER, str(args.games), HOST, str(port)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_listening(port)
        # The local arena's progress bar would bury the figures; it goes nowhere here.
        saved_stderr = os.dup(2)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 2)
        try:
            network, local = [], []
            for _ in range(args.rounds):
                local.append(local_rate(player, args.games))
                network.append(network_rate(port, player, args.games))
        finally:
            os.dup2(saved_stderr, 2)
            os.close(saved_stderr)
            os.close(devnull)
    finally:
        server.kill()
        server.wait()
    for round_, (lo, n) in enumerate(zip(local, network), 1):
        print(f"round {round_}: local {lo:8,.1f} games/s, network {n:8,.1f} games/s ({lo / n:.2f}x)",
              file=sys.stderr)
    n, lo = statistics.median(network), statistics.median(local)
    per_game = moves_per_game()
    print(f"{args.games} games of {per_game} moves, median of {args.rounds} rounds")
    print(f"local Arena.play_n:           {lo:10,.1f} games/s  {lo * per_game:12,.0f} moves/s")
    print(f"loopback network match:       {n:10,.1f} games/s  {n * per_game:12,.0f} moves/s")
    print(f"network time per game / local: {lo / n:.2f}x")


if __name__ == "__main__":
    main()
