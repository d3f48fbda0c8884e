"""A player program that holds its moves until a gate file exists: `gated_player.py PIDS GATE COLOUR`.

It leaves a file named after its pid in the directory PIDS, holding the pid of its parent (the
process that runs its games), then plays the first legal move of every position, but only
once the file GATE exists: a test can catch its games in the middle and end the process that
plays them. It leaves when its input ends or its output is gone.
"""

import os
import sys
import time

import veltrix


def main() -> None:
    pids, gate, colour = sys.argv[1], sys.argv[2], sys.argv[-1]
    # Written aside and renamed, so that a file seen under its pid is whole.
    path = os.path.join(pids, str(os.getpid()))
    with open(path + ".part", "w") as file:
        file.write(str(os.getppid()))
    os.replace(path + ".part", path)
    turn = veltrix.Turn.BLACK if colour == "BLACK" else veltrix.Turn.WHITE
    board = veltrix.Board()
    for line in sys.stdin:
        line = line.strip()
        if line == "ping":
            print("pong", flush=True)
            continue
        for _ in range(6000):  # at most two minutes
            if os.path.exists(gate):
                break
            time.sleep(0.02)
        board.set_board_str(line, turn)
        try:
            print(board.get_legal_moves_vec()[0], flush=True)
        except BrokenPipeError:
            return


if __name__ == "__main__":
    main()
