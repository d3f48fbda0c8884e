"""A demo match between the bundled players: alpha-beta search against random moves.

Runs a few dozen games (half with each program as Black), shows the progress bar on standard
error, and prints the wins, draws and disc totals of each side.
"""

import argparse
import sys
import time
from pathlib import Path

import veltrix

PLAYERS = Path(__file__).resolve().parent / "players"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=40, help="number of games (even)")
    parser.add_argument("--depth", type=int, default=3, help="search depth of the search player")
    args = parser.parse_args()

    random_player = [sys.executable, str(PLAYERS / "random_player.py")]
    first_name, second_name = f"search (depth {args.depth})", "random"
    first = [sys.executable, str(PLAYERS / "search_player.py"), str(args.depth)]

    arena = veltrix.Arena(first, random_player)
    print(f"{first_name} against {second_name}: {args.games} games", flush=True)
    started = time.monotonic()
    arena.play_n(args.games)
    elapsed = time.monotonic() - started

    wins1, wins2, draws = arena.get_stats()
    discs1, discs2 = arena.get_pieces()
    width = max(len(first_name), len(second_name))
    print(f"{'':{width}}  wins  discs")
    print(f"{first_name:{width}}  {wins1:4}  {discs1:5}")
    print(f"{second_name:{width}}  {wins2:4}  {discs2:5}")
    print(f"draws: {draws}; {args.games} games in {elapsed:.1f} s")


if __name__ == "__main__":
    main()
