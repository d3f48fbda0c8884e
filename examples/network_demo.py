"""A network match on this machine: a NetworkArenaServer and two NetworkArenaClients on loopback.

The server runs in a child process (its status lines are shown as they come); the two clients
run here, one with the search player and one with the random player, and print the totals
the server reported to each. Stop the server with Ctrl-C when running it on its own.
"""

import argparse
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import veltrix

PLAYERS = Path(__file__).resolve().parent / "players"
SERVER = "import sys, veltrix; veltrix.NetworkArenaServer(int(sys.argv[1])).start(sys.argv[2], int(sys.argv[3]))"


def free_port(host: str) -> int:
    with socket.socket() as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


def connect(client: veltrix.NetworkArenaClient, host: str, port: int, errors: list[str]) -> None:
    """Joins the server, retrying while it is still starting up."""
    deadline = time.monotonic() + 10
    while True:
        try:
            client.connect(host, port)
            return
        except ValueError as error:
            if "ConnectionRefused" not in str(error) or time.monotonic() > deadline:
                errors.append(str(error))
                return
            time.sleep(0.05)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=20, help="games per match (even)")
    parser.add_argument("--depth", type=int, default=2, help="search depth of the search player")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0: any free port")
    args = parser.parse_args()
    port = args.port or free_port(args.host)

    server = subprocess.Popen([sys.executable, "-c", SERVER, str(args.games), args.host, str(port)])
    try:
        names = [f"search (depth {args.depth})", "random"]
        clients = [
            veltrix.NetworkArenaClient([sys.executable, str(PLAYERS / "search_player.py"), str(args.depth)]),
            veltrix.NetworkArenaClient([sys.executable, str(PLAYERS / "random_player.py")]),
        ]
        errors: list[str] = []
        threads = []
        for client in clients:
            threads.append(threading.Thread(target=connect, args=(client, args.host, port, errors)))
            threads[-1].start()
            time.sleep(0.2)  # the first client takes slot 0
        for thread in threads:
            thread.join()
        if errors:
            raise SystemExit("\n".join(errors))
        print(f"{'client':<18} wins losses draws  discs  opponent's discs")
        for name, client in zip(names, clients):
            wins, losses, draws = client.get_stats()
            own, opponent = client.get_pieces()
            print(f"{name:<18} {wins:4} {losses:6} {draws:5} {own:6} {opponent:17}")
    finally:
        server.terminate()
        server.wait()


if __name__ == "__main__":
    main()
