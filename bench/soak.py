"""Soak: many short Arena batches in one process, with player programs that fail at random
(crash, silence, garbage, an illegal move, a failed handshake) mixed in among good ones.
Prints the games played, the failures by message, whether the totals add up, and the
process's memory, descriptors, threads and leftover children at the start and the end.

Usage: python bench/soak.py [--batches N] [--games-per-batch G] [--fail-share F] [--slow-share S]
                            [--seed X] [--show-progress]
A silent player costs the arena's 5 s move limit (a mute handshake its own limit), so
--slow-share (default 0.04) keeps those rare.
"""

import argparse
import collections
import os
import random
import sys
import time
from pathlib import Path

import veltrix

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import PLAYER_HEADER, ROOT, build_program  # noqa: E402

BUILD = ROOT / "build" / "bench-soak"

FAST_FAILURES = ["crash", "garbage", "illegal", "no-pong"]
SLOW_FAILURES = ["silent", "mute-pong"]


def compile_player() -> Path:
    return build_program(BUILD, "soak_player", [ROOT / "bench/soak_player.cpp"], depends=[PLAYER_HEADER])


def status_field(name: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    return -1


def children() -> list[str]:
    """Processes whose parent is this one (live or not yet reaped), as "pid state"."""
    me = str(os.getpid())
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[1] == me:
            found.append(f"{entry} {fields[0]}")
    return found


def snapshot() -> dict[str, int]:
    return {"rss_kb": status_field("VmRSS"), "peak_rss_kb": status_field("VmHWM"),
            "descriptors": len(os.listdir("/proc/self/fd")), "threads": status_field("Threads"),
            "children": len(children())}


def pick_mode(rng: random.Random, fail_share: float, slow_share: float) -> str:
    roll = rng.random()
    if roll < slow_share:
        return rng.choice(SLOW_FAILURES)
    if roll < slow_share + fail_share:
        return rng.choice(FAST_FAILURES)
    return "good"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--batches", type=int, default=500)
    parser.add_argument("--games-per-batch", type=int, default=2)
    parser.add_argument("--fail-share", type=float, default=0.4)
    parser.add_argument("--slow-share", type=float, default=0.04)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--show-progress", action="store_true")
    args = parser.parse_args()
    player = str(compile_player())
    rng = random.Random(args.seed)

    # The arena draws its progress bar on standard error: not wanted hundreds of times here.
    # (The saved copy of the descriptor is open from the first snapshot to the last.)
    saved_stderr = os.dup(2)
    if not args.show_progress:
        quiet = os.open(os.devnull, os.O_WRONLY)
        os.dup2(quiet, 2)
        os.close(quiet)
    start = snapshot()
    outcomes: collections.Counter[str] = collections.Counter()
    games = failed_batches = unexpected = 0
    stats_total = [0, 0, 0]
    pieces_total = [0, 0]
    began = time.perf_counter()
    early = start
    for batch in range(args.batches):
        if batch == args.batches // 10:
            early = snapshot()
        mode = pick_mode(rng, args.fail_share, args.slow_share)
        ply = rng.randint(1, 34)  # past the last request of a game, the player never fails
        good, flaky = [player, "good", "0"], [player, mode, str(ply)]
        commands = (good, flaky) if rng.random() < 0.5 else (flaky, good)
        arena = veltrix.Arena(*commands)
        try:
            arena.play_n(args.games_per_batch)
        except ValueError as error:
            failed_batches += 1
            outcomes[f"{mode}: {error}"] += 1
            if mode == "good":
                unexpected += 1
            # A failed batch leaves the totals as they were.
            if arena.get_stats() != (0, 0, 0) or arena.get_pieces() != (0, 0):
                unexpected += 1
            continue
        games += args.games_per_batch
        outcomes[f"{mode}: played"] += 1
        stats, pieces = arena.get_stats(), arena.get_pieces()
        if sum(stats) != args.games_per_batch or sum(pieces) > 64 * args.games_per_batch:
            unexpected += 1
        stats_total = [a + b for a, b in zip(stats_total, stats)]
        pieces_total = [a + b for a, b in zip(pieces_total, pieces)]
    wall = time.perf_counter() - began
    end = snapshot()
    os.dup2(saved_stderr, 2)
    os.close(saved_stderr)

    print(f"batches: {args.batches} ({failed_batches} failed), games played: {games}, wall {wall:.1f} s")
    for outcome, count in sorted(outcomes.items()):
        print(f"  {count:6d}  {outcome}")
    print(f"totals: wins/wins/draws {stats_total} (sum {sum(stats_total)} = games {games}: "
          f"{'ok' if sum(stats_total) == games else 'MISMATCH'}), pieces {pieces_total}")
    print(f"unexpected outcomes: {unexpected}")
    for name in start:
        print(f"{name:12s} start {start[name]:8d}  after 10% {early[name]:8d}  end {end[name]:8d}")
    left = children()
    if left:
        print("children left:", ", ".join(left))
    sys.exit(1 if unexpected or sum(stats_total) != games or left else 0)


if __name__ == "__main__":
    main()
