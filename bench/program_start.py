"""Program start cost: the median time of Arena.play_n(2) between two fast native players, which
is four program starts (each registered with the watchdog, and released after its reap), four
handshakes and two short games; and, for scale, the median time of starting and reaping one such
program with subprocess.

Usage: python bench/program_start.py [--batches N]
"""

import argparse
import statistics
import subprocess
import sys
import time
from pathlib import Path

import veltrix

sys.path.insert(0, str(Path(__file__).resolve().parent))
from arena_throughput import compile_programs  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--batches", type=int, default=200)
    args = parser.parse_args()
    player, _ = compile_programs()
    arena = veltrix.Arena([str(player)], [str(player)])
    batch, single = [], []
    for _ in range(args.batches):
        started = time.perf_counter()
        arena.play_n(2)
        batch.append(time.perf_counter() - started)
        started = time.perf_counter()
        subprocess.run([str(player), "BLACK"], input=b"ping\n", capture_output=True, check=False)
        single.append(time.perf_counter() - started)
    print(f"Arena.play_n(2), 4 program starts: {statistics.median(batch) * 1e3:8.3f} ms median of {args.batches}")
    print(f"subprocess.run of one program:     {statistics.median(single) * 1e3:8.3f} ms median of {args.batches}")


if __name__ == "__main__":
    main()
