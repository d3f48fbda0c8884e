"""A player program for the network arena tests: `net_player.py MODE COLOUR`.

Modes: "first" plays the first legal move; "echo" answers every line with COLOUR:line (to
check that requests and replies are relayed unchanged); "badpong" fails the handshake;
"exit" leaves, without answering, on its first move request. When VELTRIX_TEST_PID_DIR is set, the program
leaves a file named after its pid there, so a test can check that it was killed.
"""

import os
import sys

import veltrix


def main() -> None:
    mode, colour = sys.argv[1], sys.argv[-1]
    pid_dir = os.environ.get("VELTRIX_TEST_PID_DIR")
    if pid_dir:
        open(os.path.join(pid_dir, str(os.getpid())), "w").close()
    turn = veltrix.Turn.BLACK if colour == "BLACK" else veltrix.Turn.WHITE
    board = veltrix.Board()
    for line in sys.stdin:
        line = line.rstrip("\n")
        if line == "ping":
            sys.stdout.write("PONG\n" if mode == "badpong" else "pong\r\n")
            sys.stdout.flush()
            continue
        if mode == "exit":
            return
        if mode == "echo":
            sys.stdout.write(f"{colour}:{line}\n")
        else:
            board.set_board_str(line, turn)
            sys.stdout.write(f"{board.get_legal_moves_vec()[0]}\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
