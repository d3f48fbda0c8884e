"""A player program that answers every position with a random legal move.

The arena runs it as: random_player.py COLOUR (COLOUR is "BLACK" or "WHITE").
"""

import sys

import veltrix


def main() -> None:
    turn = veltrix.Turn.WHITE if sys.argv[-1] == "WHITE" else veltrix.Turn.BLACK
    board = veltrix.Board()
    for line in sys.stdin:
        line = line.strip()
        if line == "ping":
            print("pong", flush=True)
            continue
        board.set_board_str(line, turn)
        print(board.get_random_move(), flush=True)


if __name__ == "__main__":
    main()
