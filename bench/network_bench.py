"""Network arena throughput: games per second of a loopback match (a NetworkArenaServer in a
child process and two NetworkArenaClients here) against the local Arena, both with the same
fast native players (first legal move), and against a raw relay (bench/native/raw_relay.cpp: the
same TCP and pipe hops per move with no arena code, everything blocking, and two games at once
over two connections and two relay processes, as the arena plays them), all measured side by
side in one run, in interleaved rounds, free-running and pinned to CPU 0.

Usage: python bench/network_bench.py [--games N] [--rounds R]
"""

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
from arena_throughput import BUILD, compile_programs  # noqa: E402
from common import (ROOT, arena_games_per_second, build_program, first_move_game,  # noqa: E402
                    games_and_rounds, moves_per_game)

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


def raw_relay_program() -> Path:
    return build_program(BUILD, "raw_relay", [ROOT / "bench/native/raw_relay.cpp"], ["-O2", "-pthread"])


def game_file() -> Path:
    """The requests of the one game both first-move players play: seat letter and board line."""
    lines = [("b " if side == veltrix.Turn.BLACK else "w ") + line for side, line, _ in first_move_game()]
    path = BUILD / "first_move_game.txt"
    path.write_text("\n".join(lines) + "\n")
    return path


def raw_relay_rate(relay: Path, game: Path, player: Path, games: int) -> float:
    """Moves per second of the raw relay: `games` games, half on each of its two connections."""
    out = subprocess.run([str(relay), str(games), str(game), str(player)], check=True, capture_output=True,
                         text=True).stdout.split()
    return int(out[0]) / float(out[1])


def main() -> None:
    args = games_and_rounds(1000)
    player, _ = compile_programs()
    relay, game = raw_relay_program(), game_file()
    per_game = moves_per_game()
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
            all_cpus = os.sched_getaffinity(0)
            rates: dict[str, dict[str, list[float]]] = {mode: {"local": [], "network": [], "raw": []}
                                                        for mode in ("free", "pinned")}
            for _ in range(args.rounds):
                for mode, cpus in (("free", all_cpus), ("pinned", {0})):
                    # Threads and processes started from here on inherit the mask.
                    os.sched_setaffinity(0, cpus)
                    os.sched_setaffinity(server.pid, cpus)
                    rates[mode]["local"].append(arena_games_per_second(player, args.games) * per_game)
                    rates[mode]["network"].append(network_rate(port, player, args.games) * per_game)
                    rates[mode]["raw"].append(raw_relay_rate(relay, game, player, args.games))
            os.sched_setaffinity(0, all_cpus)
        finally:
            os.dup2(saved_stderr, 2)
            os.close(saved_stderr)
            os.close(devnull)
    finally:
        server.kill()
        server.wait()
    print(f"{args.games} games of {per_game} moves, moves/s, median of {args.rounds} interleaved rounds")
    for mode, figures in rates.items():
        for round_, (lo, n, raw) in enumerate(zip(figures["local"], figures["network"], figures["raw"]), 1):
            print(f"{mode} round {round_}: local {lo:9,.0f}  network {n:9,.0f}  raw relay {raw:9,.0f}  "
                  f"network/local {lo / n:.2f}x  network/raw {raw / n:.2f}x", file=sys.stderr)
        lo, n, raw = (statistics.median(figures[k]) for k in ("local", "network", "raw"))
        print(f"{mode:>6}: local {lo:9,.0f}  network {n:9,.0f}  raw relay {raw:9,.0f}  "
              f"time per move network/local {lo / n:.2f}x  network/raw relay {raw / n:.2f}x")

if __name__ == "__main__":
    main()
