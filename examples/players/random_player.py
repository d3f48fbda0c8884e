"""A player program that answers every position with a random legal move.

The arena runs it as: random_player.py [--seed K] COLOUR (COLOUR is "BLACK" or "WHITE").
With --seed the move is drawn from a generator seeded by K and the position, so the same
position always gets the same move whichever process is asked and in whatever order: a match
against deterministic programs then plays the same games each run.
"""

import random
import sys

import veltrix


def main() -> None:
    args = sys.argv[1:]
    seed = args[args.index("--seed") + 1] if "--seed" in args[:-1] else None
    turn = veltrix.Turn.WHITE if args[-1:] == ["WHITE"] else veltrix.Turn.BLACK
    board = veltrix.Board()
    for line in sys.stdin:
        line = line.strip()
        if line == "ping":
            print("pong", flush=True)
            continue
        board.set_board_str(line, turn)
        if seed is None:
            move = board.get_random_move()
        else:
            move = random.Random(f"{seed}:{line}:{args[-1]}").choice(board.get_legal_moves_vec())
        print(move, flush=True)


if __name__ == "__main__":
    main()
