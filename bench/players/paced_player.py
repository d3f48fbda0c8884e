"""A player program whose games take a set time: `paced_player.py MILLISECONDS COLOUR`.

It answers every position with its first legal move after waiting MILLISECONDS, so a game
(about 60 moves) lasts about 60 times that whatever the machine, and the arena around it is
what a benchmark measures.
"""

import sys
import time

import veltrix


def main() -> None:
    delay = float(sys.argv[1]) / 1000
    turn = veltrix.Turn.WHITE if sys.argv[-1] == "WHITE" else veltrix.Turn.BLACK
    board = veltrix.Board()
    for line in sys.stdin:
        line = line.strip()
        if line == "ping":
            print("pong", flush=True)
            continue
        time.sleep(delay)
        board.set_board_str(line, turn)
        print(board.get_legal_moves_vec()[0], flush=True)


if __name__ == "__main__":
    main()
