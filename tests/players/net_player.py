"""A player program for the network arena tests: `net_player.py MODE COLOUR`.

Modes: "first" plays the first legal move; "random" a random one; "echo" answers every line with COLOUR:line (to
check that requests and replies are relayed unchanged); "badpong" fails the handshake;
"exit" leaves, without answering, on its first move request; "closeout" closes its output on its first move request
and goes on reading its input; "silent" never answers, not even the ping; "deaf" answers the ping, then never reads its input again; "helper" starts a helper process that
holds its pipes and outlives it unless its whole process group is ended, then acts as "echo". When
VELTRIX_TEST_PID_DIR is set, the program (and its helper) leaves a file named after its pid there, so a test can
check that it was killed.
"""

import os
import subprocess
import sys
import time

import veltrix


def main() -> None:
    mode, colour = sys.argv[1], sys.argv[-1]
    pid_dir = os.environ.get("VELTRIX_TEST_PID_DIR")
    if pid_dir:
        open(os.path.join(pid_dir, str(os.getpid())), "w").close()
    if mode == "helper":
        helper = subprocess.Popen(["sleep", "60"])  # inherits standard input and output
        if pid_dir:
            open(os.path.join(pid_dir, str(helper.pid)), "w").close()
        mode = "echo"
    if mode == "silent":
        time.sleep(60)
        return
    if mode == "deaf":
        # Nothing but the ping is there to read yet, so nothing after it is taken in.
        sys.stdin.readline()
        sys.stdout.write("pong\n")
        sys.stdout.flush()
        time.sleep(60)
        return
    turn = veltrix.Turn.BLACK if colour == "BLACK" else veltrix.Turn.WHITE
    board = veltrix.Board()
    output_open = True
    for line in sys.stdin:
        line = line.rstrip("\n")
        if line == "ping":
            sys.stdout.write("PONG\n" if mode == "badpong" else "pong\r\n")
            sys.stdout.flush()
            continue
        if mode == "exit":
            return
        if mode == "closeout":
            if output_open:
                os.close(sys.stdout.fileno())
                output_open = False
            continue
        if mode == "echo":
            sys.stdout.write(f"{colour}:{line}\n")
        else:
            board.set_board_str(line, turn)
            move = board.get_random_move() if mode == "random" else board.get_legal_moves_vec()[0]
            sys.stdout.write(f"{move}\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
