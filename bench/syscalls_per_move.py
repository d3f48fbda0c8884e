"""System calls and voluntary context switches per move of the network arena and of the local
arena, each counted per role, with the same fast native players (first legal move) as
bench/network_bench.py.

Network: a NetworkArenaServer process, two NetworkArenaClient processes (one relay thread each)
and the four player programs those start. Local: the process running Arena.play_n (the caller
and its worker and drawing threads) and its four programs. Every figure is divided by the
moves of the match (every game is the same game, so that count is exact).

- System calls: every process runs under `strace -ff -ttt` (one trace per thread and child
  process); a role's calls are counted between two marker calls that its Python process makes
  right before and right after the measured call, so interpreter start-up and shutdown are
  left out. The programs' start-up (exec, loader, "ping") is in. strace slows every call, and
  calls that depend on timing (a futex hand-off, a wait that finds nothing yet) can come out
  somewhat differently than without it.
- Voluntary context switches: separate runs without strace, from getrusage in each Python
  process (its own threads, exited ones included, and the programs it reaped). They follow
  where the scheduler puts each process, so they vary from run to run: every run is shown.

Needs strace (apt-get install strace).
Usage: python bench/syscalls_per_move.py [--games N] [--top K] [--rounds R]
"""

import argparse
import collections
import json
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from arena_throughput import compile_programs, moves_per_game  # noqa: E402
from network_bench import HOST, free_port, wait_listening  # noqa: E402

# A marker is a stat of a path that does not exist: one recognisable line in the trace.
MARKERS = "import os, resource, json, sys, veltrix\n" + """
def mark(name):
    try:
        os.stat("/veltrix-bench-" + name)
    except OSError:
        pass
def switches(who):
    usage = resource.getrusage(who)
    return usage.ru_nvcsw
"""

# start() never returns, so it runs on a thread; a line on standard input ends the window.
SERVER = MARKERS + """
import threading
games, port = int(sys.argv[1]), int(sys.argv[2])
mark("begin")
before = switches(resource.RUSAGE_SELF)
server = veltrix.NetworkArenaServer(games)
threading.Thread(target=server.start, args=(sys.argv[3], port), daemon=True).start()
sys.stdin.readline()
after = switches(resource.RUSAGE_SELF)
mark("end")
print(json.dumps({"self": after - before}), flush=True)
os._exit(0)
"""

CLIENT = MARKERS + """
client = veltrix.NetworkArenaClient([sys.argv[1]])
mark("begin")
before = switches(resource.RUSAGE_SELF)
client.connect(sys.argv[2], int(sys.argv[3]))
after = switches(resource.RUSAGE_SELF)
mark("end")
print(json.dumps({"self": after - before, "programs": switches(resource.RUSAGE_CHILDREN)}), flush=True)
os._exit(0)
"""

LOCAL = MARKERS + """
arena = veltrix.Arena([sys.argv[1]], [sys.argv[1]])
mark("begin")
before = switches(resource.RUSAGE_SELF)
arena.play_n(int(sys.argv[2]))
after = switches(resource.RUSAGE_SELF)
mark("end")
print(json.dumps({"self": after - before, "programs": switches(resource.RUSAGE_CHILDREN)}), flush=True)
os._exit(0)
"""

CALL = re.compile(r"^(\d+\.\d+) (\w+)\(")


def python(script: str, *args: str, trace: Path | None = None, **popen) -> subprocess.Popen:
    """A Python process running `script`, under strace when `trace` (an output prefix) is given."""
    command = [sys.executable, "-c", script, *args]
    if trace is not None:
        command = ["strace", "-ff", "-ttt", "-qq", "-o", str(trace), *command]
    # The progress bars would only add noise: standard error goes nowhere.
    return subprocess.Popen(command, stderr=subprocess.DEVNULL, text=True, **popen)


def network_match(player: Path, games: int, trace_dir: Path | None) -> dict[str, int]:
    """Plays one match; the voluntary context switches of each role."""
    port = free_port()
    traced = (lambda name: trace_dir / name) if trace_dir else (lambda name: None)
    server = python(SERVER, str(games), str(port), HOST, trace=traced("server"), stdin=subprocess.PIPE,
                    stdout=subprocess.PIPE)
    try:
        wait_listening(port)
        clients = [python(CLIENT, str(player), HOST, str(port), trace=traced(f"client{i}"), stdout=subprocess.PIPE)
                   for i in range(2)]
        reports = [json.loads(client.communicate(timeout=600)[0]) for client in clients]
        if any(client.returncode != 0 for client in clients):
            raise SystemExit("a client failed")
        # The server's status lines, then its own report once told that the match is over.
        for line in server.stdout:
            if line.startswith("Clients disconnected"):
                break
        server.stdin.write("\n")
        server.stdin.flush()
        server_report = json.loads(server.stdout.readline())
        server.wait(timeout=60)
    finally:
        server.kill()
        server.wait()
    return {"server": server_report["self"], "clients": sum(r["self"] for r in reports),
            "programs": sum(r["programs"] for r in reports)}


def local_match(player: Path, games: int, trace_dir: Path | None) -> dict[str, int]:
    arena = python(LOCAL, str(player), str(games), trace=trace_dir / "local" if trace_dir else None,
                   stdout=subprocess.PIPE)
    report = json.loads(arena.communicate(timeout=600)[0])
    if arena.returncode != 0:
        raise SystemExit("the local arena failed")
    return {"arena": report["self"], "programs": report["programs"]}


def count_calls(trace_dir: Path, prefix: str, player: Path) -> dict[str, collections.Counter]:
    """The system calls of one traced Python process, within the window between its markers:
    its own threads' ("own"), the player programs' it started ("programs"), and those of any
    other program it ran ("others": tput, asked once for the terminal size of the bar)."""
    calls = {path: [m for m in map(CALL.match, path.read_text().splitlines()) if m]
             for path in sorted(trace_dir.glob(f"{prefix}.*"))}
    marks = {}
    for matches in calls.values():
        for match in matches:
            for name in ("begin", "end"):
                if f"/veltrix-bench-{name}" in match.string:
                    marks[name] = float(match.group(1))
    if len(marks) != 2:
        raise SystemExit(f"no markers in the trace of {prefix}")
    counts = {kind: collections.Counter() for kind in ("own", "programs", "others")}
    for matches in calls.values():
        programs = [m.string for m in matches if m.group(2) == "execve"]
        if not programs or sys.executable in programs[-1]:
            kind = "own"  # the interpreter's main thread, or a thread it started
        else:
            kind = "programs" if str(player) in programs[-1] else "others"
        for match in matches:
            if marks["begin"] < float(match.group(1)) < marks["end"]:
                counts[kind][match.group(2)] += 1
    return counts


def row(label: str, counts: collections.Counter, moves: int, top: int) -> str:
    busiest = "  ".join(f"{name} {n / moves:.2f}" for name, n in counts.most_common(top))
    return f"  {label:<44} {sum(counts.values()) / moves:6.2f}   {busiest}"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--games", type=int, default=100)
    parser.add_argument("--top", type=int, default=6, help="the busiest calls shown per role")
    parser.add_argument("--rounds", type=int, default=5, help="runs without strace, for the context switches")
    args = parser.parse_args()
    if shutil.which("strace") is None:
        raise SystemExit("this benchmark needs strace (apt-get install strace)")
    if args.games <= 0 or args.games % 2:
        raise SystemExit("--games must be even and positive")
    player, _ = compile_programs()
    moves = args.games * moves_per_game()

    with tempfile.TemporaryDirectory(prefix="veltrix-strace-") as directory:
        trace_dir = Path(directory)
        network_match(player, args.games, trace_dir)
        local_match(player, args.games, trace_dir)
        server = count_calls(trace_dir, "server", player)
        clients = [count_calls(trace_dir, f"client{i}", player) for i in range(2)]
        local = count_calls(trace_dir, "local", player)
    client_calls = clients[0]["own"] + clients[1]["own"]
    programs = clients[0]["programs"] + clients[1]["programs"]
    others = server["others"] + clients[0]["others"] + clients[1]["others"]

    print(f"{args.games} games, {moves:,} moves. System calls per move (strace), busiest calls per move:")
    print(row("network server (1 process, all its threads)", server["own"], moves, args.top))
    print(row("network clients (2 processes, relay threads)", client_calls, moves, args.top))
    print(row("network programs (4 processes)", programs, moves, args.top))
    print(row("network total", server["own"] + client_calls + programs, moves, args.top))
    print(row("local arena (1 process, all its threads)", local["own"], moves, args.top))
    print(row("local programs (4 processes)", local["programs"], moves, args.top))
    print(row("local total", local["own"] + local["programs"], moves, args.top))
    print(f"  (left out: {sum(others.values()) + sum(local['others'].values())} calls of other programs the "
          "arenas ran once, tput for the progress bar's width)")

    # Context switches follow where the scheduler puts each process: the median of a few runs.
    runs = [(network_match(player, args.games, None), local_match(player, args.games, None))
            for _ in range(args.rounds)]
    figures = [("network server", lambda n, lo: n["server"]), ("network clients", lambda n, lo: n["clients"]),
               ("network programs", lambda n, lo: n["programs"]), ("network total", lambda n, lo: sum(n.values())),
               ("local arena", lambda n, lo: lo["arena"]), ("local programs", lambda n, lo: lo["programs"]),
               ("local total", lambda n, lo: sum(lo.values()))]
    print(f"Voluntary context switches per move (getrusage, no strace), median of {args.rounds} runs [all runs]:")
    for label, figure in figures:
        values = [figure(n, lo) / moves for n, lo in runs]
        print(f"  {label:<44} {statistics.median(values):6.2f}   [{'  '.join(f'{v:.2f}' for v in values)}]")

if __name__ == "__main__":
    main()
