"""veltrix-match overhead: time per game of a match run by the veltrix_match driver against
the same games played by one Arena.play call, measured side by side in one run.

Three ways to play the same n games (same programs, same openings, concurrency 2):
- play:   one Arena.play(n) call, nothing else (the floor);
- driver: veltrix_match's Match over the LocalExecutor (chunks sized as the command sizes
          them, each one restarting the programs), every game written to a JSONL file;
- cli:    the veltrix-match command as a child process (interpreter start, built-in openings,
          report), for the whole picture, its standard output a file: a "Finished game" line
          per game and a "Score of" line every 10 are written, as in a logged CI run.
Workloads: the bundled search player against the random player, at a depth where games take
about a millisecond (start-up costs dominate) and at one where they take tens of them.

Each way is timed by wall clock and by CPU time (this process and every child it reaped, the
player programs included): on a shared machine the CPU time is the steadier figure.

--instructions counts instructions under callgrind instead, the steadiest figure of all,
between two deterministic programs (search depth 3 and 1): the driver's own work per game,
the start-up one more chunk costs, and a game's cost in the arena and in both programs; from
these, the overhead at a few chunk sizes. It takes a few minutes.

Usage: python bench/match_overhead.py [--rounds R] [--quick] [--workload DEPTH:GAMES ...]
       python bench/match_overhead.py --instructions [--games N]
"""

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import veltrix
from veltrix_match import LocalExecutor, Match, Program, builtin_openings

from common import callgrind_instructions

ROOT = Path(__file__).resolve().parent.parent
PLAYERS = ROOT / "examples" / "players"


def commands(depth: int) -> tuple[list[str], list[str]]:
    return ([sys.executable, str(PLAYERS / "search_player.py"), str(depth)],
            [sys.executable, str(PLAYERS / "random_player.py")])


def cpu_seconds() -> tuple[float, float]:
    """User and system time of this process, and of it with its reaped children, so far."""
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    mine = own.ru_utime + own.ru_stime
    return mine, mine + children.ru_utime + children.ru_stime


def measured(way, *args) -> dict[str, float]:
    """Wall seconds, CPU seconds of everything, CPU seconds of this process, of one call."""
    wall, (mine, everything) = time.perf_counter(), cpu_seconds()
    way(*args)
    mine_after, everything_after = cpu_seconds()
    return {"wall": time.perf_counter() - wall, "cpu": everything_after - everything, "self": mine_after - mine}


CHUNKS: list[int] = []  # chunks of each driver run: one program start-up each


class CountingExecutor(LocalExecutor):
    """The local executor, counting the chunks it plays."""

    def __init__(self) -> None:
        super().__init__()
        self.chunks = 0

    def run(self, chunks):
        for finished in super().run(chunks):
            self.chunks += 1
            yield finished


def run_play(depth: int, games: int, openings: list[str]) -> None:
    veltrix.Arena(*commands(depth)).play(games, openings=openings[: games // 2], concurrency=2, progress=False)


def run_driver(depth: int, games: int, openings: list[str]) -> None:
    first, second = commands(depth)
    with tempfile.TemporaryFile("w") as out:
        def on_game(pairing, result):
            out.write(json.dumps(result) + "\n")
            out.flush()

        match = Match([Program("search", first), Program("random", second)], games, openings, concurrency=2)
        executor = CountingExecutor()
        match.run(executor, on_game)
        CHUNKS.append(executor.chunks)


def run_cli(depth: int, games: int, openings: list[str]) -> None:
    first, second = commands(depth)
    with tempfile.TemporaryDirectory() as folder, open(os.path.join(folder, "log.txt"), "w") as log:
        out = os.path.join(folder, "games.jsonl")
        subprocess.run([sys.executable, "-m", "veltrix_match", " ".join(first), " ".join(second),
                        "--games", str(games), "--seed", "1", "--out", out, "--rating-interval", "10"],
                       check=True, stdout=log)
        log.flush()
        lines = Path(log.name).read_text().count("Finished game")
        if lines != games:
            raise RuntimeError(f"the log has {lines} game lines for {games} games")


def per_game_work(depth: int, games: int, openings: list[str], rounds: int) -> None:
    """The command's own work per game (JSONL line, "Finished game" line, a "Score of" line
    every 10 games, counting) against what Arena.play takes per game, in this one process.

    The wall and CPU figures above swing by tens of percent on a shared machine; this one
    times only the per-game Python work, over the records of a real batch, so it is steady.
    """
    from veltrix_match import cli
    from veltrix_match.log import GameLog, Stdout

    arena = veltrix.Arena(*commands(depth))
    started = time.process_time()
    records = arena.play(games, openings=openings[: games // 2], concurrency=2, progress=False)
    play_cpu = (time.process_time() - started) / games
    results = [{"game": index, "pairing": 0, **record._asdict()} if hasattr(record, "_asdict") else
               {"game": index, "pairing": 0, **{field: getattr(record, field) for field in
                                                ("black", "opening", "moves", "winner", "black_discs",
                                                 "white_discs", "error")}}
               for index, record in enumerate(records)]
    timings = []
    for _ in range(rounds):
        match = Match([Program("search", commands(depth)[0]), Program("random", commands(depth)[1])], games, openings)
        pairing = match.pairings[0]
        with tempfile.TemporaryFile("w") as out, tempfile.TemporaryFile("w") as text:
            log = GameLog(Stdout(text), match, 10, enabled=True)
            stamp = {"seed": 1, "match": "0123456789abcdef"}
            started = time.perf_counter()
            for result in results:
                out.write(cli._game_line(match, pairing, result, stamp) + "\n")
                out.flush()
                pairing.accept([result])
                for ready in pairing.release():
                    pairing.count(ready)
                    log.game(pairing, ready)
            timings.append((time.perf_counter() - started) / games)
    work = statistics.median(timings)
    print(f"  the command's per-game work (JSONL + log lines): {1e6 * work:.1f} us/game, "
          f"{100 * work / play_cpu:.2f}% of Arena.play's {1000 * play_cpu:.3f} ms CPU per game "
          f"(this process; the programs' time not counted, so the true share is smaller)")


def deterministic_players() -> tuple[list[str], list[str]]:
    return ([sys.executable, str(PLAYERS / "search_player.py"), "3"],
            [sys.executable, str(PLAYERS / "search_player.py"), "1"])


def play_one_way(way: str, games: int, chunk_games: int) -> None:
    """One way of playing `games` deterministic games, for a run under callgrind."""
    first, second = deterministic_players()
    openings = builtin_openings(1)
    # A generous move limit: a program under callgrind runs tens of times slower.
    if way == "play":
        veltrix.Arena(first, second).play(games, openings=openings[: games // 2], time_limit=120.0, progress=False)
        return
    match = Match([Program("a", first), Program("b", second)], games, openings, time_limit=120.0,
                  chunk_games=chunk_games)
    with tempfile.TemporaryFile("w") as out:
        match.run(LocalExecutor(), lambda pairing, result: out.write(json.dumps(result) + "\n"))


def callgrind(command: list[str], stdin: str = "") -> int:
    """Instructions run by `command` (one process) under callgrind."""
    return callgrind_instructions(command, stdin)


def one_game_lines() -> tuple[str, str]:
    """The board lines each program of the deterministic pair receives in one game."""
    searches = {veltrix.Turn.BLACK: veltrix.AlphaBetaSearch(veltrix.PieceEvaluator(), 3),
                veltrix.Turn.WHITE: veltrix.AlphaBetaSearch(veltrix.PieceEvaluator(), 1)}
    lines: dict[veltrix.Turn, list[str]] = {veltrix.Turn.BLACK: [], veltrix.Turn.WHITE: []}
    board = veltrix.Board.from_transcript(builtin_openings(1)[0])
    while not board.is_game_over():
        if board.is_pass():
            board.do_pass()
            continue
        turn = board.get_board()[2]
        lines[turn].append(board.get_board_line())
        board.do_move(searches[turn].get_move(board))
    return "".join(f"{line}\n" for line in lines[veltrix.Turn.BLACK]), \
        "".join(f"{line}\n" for line in lines[veltrix.Turn.WHITE])


def count_instructions(games: int) -> None:
    """The driver's cost against Arena.play's, in instructions (see the module documentation).

    Programs killed at the end of a batch leave callgrind no chance to write their counts, so
    the programs are counted on their own: once through the handshake alone (the start-up a
    chunk pays) and once through the positions of one game (the work a game costs them).
    """
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind is not installed")
    this = [sys.executable, __file__, "--run-way"]

    def main_process(way: str, count: int, chunk_games: int) -> int:
        return callgrind([*this, way, "--games", str(count), "--chunk-games", str(chunk_games)])

    play_small, play = main_process("play", 2, 2), main_process("play", games, games)
    whole, five = main_process("driver", games, games), main_process("driver", games, games // 5)
    first, second = deterministic_players()
    black_lines, white_lines = one_game_lines()
    start_first = callgrind([*first, "BLACK"], "ping\n")
    start_second = callgrind([*second, "WHITE"], "ping\n")
    game_players = (callgrind([*first, "BLACK"], "ping\n" + black_lines) - start_first
                    + callgrind([*second, "WHITE"], "ping\n" + white_lines) - start_second)
    game_main = (play - play_small) / (games - 2)
    per_game = game_main + game_players  # what Arena.play costs per game, programs included
    driver_per_game = (whole - play) / games
    # A chunk starts each program once per worker: two workers, four programs.
    per_chunk = 2 * (start_first + start_second) + (five - whole) / 4
    print(f"instructions, search depth 3 against depth 1 (concurrency 2, {games} games in the batch runs):")
    print(f"  a game, Arena.play and both programs  {per_game:>14,.0f}  (arena process {game_main:,.0f})")
    print(f"  the driver's own work per game        {driver_per_game:>14,.0f}  "
          f"{100 * driver_per_game / per_game:+.2f}% of a game")
    print(f"  one chunk's start-up (four programs)  {per_chunk:>14,.0f}  = {per_chunk / per_game:.1f} games")
    for chunk_games in (16, 100, 1000):
        share = (per_chunk / chunk_games + driver_per_game) / per_game
        print(f"  overhead with {chunk_games:>4}-game chunks          {100 * share:+13.2f}%")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="fewer games (a smoke run)")
    parser.add_argument("--workload", action="append", metavar="DEPTH:GAMES",
                        help="search depth and game count of a workload (repeatable)")
    parser.add_argument("--instructions", action="store_true", help="count instructions under callgrind")
    parser.add_argument("--games", type=int, default=100, help="games of the --instructions run")
    parser.add_argument("--run-way", choices=("play", "driver"), help=argparse.SUPPRESS)
    parser.add_argument("--chunk-games", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run_way:
        play_one_way(args.run_way, args.games, args.chunk_games)
        return
    if args.instructions:
        count_instructions(args.games)
        return
    openings = builtin_openings(1)
    workloads = [(3, 200 if args.quick else 10000), (6, 40 if args.quick else 400)]
    if args.workload:
        workloads = [(int(depth), int(games)) for depth, games in (w.split(":") for w in args.workload)]
    ways = {"play": run_play, "driver": run_driver, "cli": run_cli}
    for depth, games in workloads:
        figures: dict[str, list[dict[str, float]]] = {name: [] for name in ways}
        CHUNKS.clear()
        for round_ in range(args.rounds):
            # Rotate the order so that drifts in the machine's load fall on every way alike.
            names = list(ways)[round_ % 3:] + list(ways)[: round_ % 3]
            for name in names:
                figures[name].append(measured(ways[name], depth, games, openings))
        print(f"search depth {depth} vs random, {games} games, concurrency 2, {args.rounds} rounds "
              f"(medians; the driver used {statistics.median(CHUNKS):g} chunks):")
        for label in ("wall", "cpu", "self"):
            floor = statistics.median(run[label] for run in figures["play"])
            for name in ways:
                if label == "self" and name == "cli":
                    continue  # the command runs in a child process
                times = [run[label] for run in figures[name]]
                median = statistics.median(times)
                print(f"  {label:4} {name:6} {median:7.3f} s  {1000 * median / games:7.3f} ms/game"
                      f"  {100 * (median / floor - 1):+6.1f}% ({1000 * (median - floor) / games:+.3f} ms/game)"
                      f"  [{' '.join(f'{t:.2f}' for t in times)}]")
        per_game_work(depth, games, openings, args.rounds)


if __name__ == "__main__":
    main()
