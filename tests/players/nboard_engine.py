"""A small NBoard engine for the adapter's tests, written from the NBoard protocol document:
plays the first legal move of the position the last "set game" describes, or misbehaves on
command.

Usage: nboard_engine.py [--name NAME] [--mode MODE] [--pid-dir DIR] [--ignore-eof]

MODE: normal; slow (sleeps 30 s before each move); illegal (answers an occupied square);
garbage (answers a line that is no move); exits (exits instead of moving); ignores-ping
(never answers ping); passes (answers "=== PA"); spaced (Edax's "=== c6 0.00 0.0" form);
chatty (status/search/nodestats lines around every answer); fails-start (exits at once);
flood (two megabytes without a line end).
--pid-dir (or $VELTRIX_TEST_PID_DIR) leaves a file named after the pid, so a test can check
the process is gone;
--ignore-eof keeps the engine running after its input ends (as a careless engine would).
"""

import argparse
import os
import re
import sys
import time

import veltrix


def say(text: str) -> None:
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def position(ggf: str) -> veltrix.Board:
    """The position at the end of a GGF game: its BO board, then its moves."""
    board = veltrix.Board()
    start = re.search(r"BO\[8\s+([^\]]*)\]", ggf)
    if start:
        squares = "".join(start[1].split())
        line = squares[:64].replace("*", "X")
        board.set_board_str(line, veltrix.Turn.BLACK if squares[64] == "*" else veltrix.Turn.WHITE)
    for colour, move in re.findall(r"\b([BW])\[([^\]/]*)", ggf):
        move = move.strip().lower()
        if move == "pa":
            board.do_pass()
        else:
            if board.is_pass():
                board.do_pass()
            board.do_move(veltrix.Board.parse_square(move))
    return board


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--name", default="TestEngine")
    parser.add_argument("--mode", default="normal")
    parser.add_argument("--pid-dir")
    parser.add_argument("--ignore-eof", action="store_true")
    args = parser.parse_args()
    pid_dir = args.pid_dir or os.environ.get("VELTRIX_TEST_PID_DIR")
    if pid_dir:
        with open(os.path.join(pid_dir, str(os.getpid())), "w") as mark:
            mark.write("engine")
    if args.mode == "fails-start":
        sys.exit(3)
    board = veltrix.Board()
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        if words[0] == "nboard":
            if args.name:
                say(f"set myname {args.name}")
        elif words[:2] == ["set", "game"]:
            board = position(line)
        elif words[0] == "ping":
            if args.mode != "ignores-ping":
                say(f"pong {words[1]}")
        elif words[0] in ("go", "hint"):
            if args.mode == "chatty":
                say("status thinking")
                say("nodestats 1234 0.01")
                say("search c4 0.00 0 0.0 1")
            move = veltrix.Board.square_name(board.get_legal_moves_vec()[0])
            if args.mode == "slow":
                time.sleep(30)
            elif args.mode == "exits":
                sys.exit(0)
            elif args.mode == "illegal":
                move = "d4"  # occupied from the start
            elif args.mode == "garbage":
                say("=== zz9")
                continue
            elif args.mode == "passes":
                move = "PA"
            elif args.mode == "flood":
                sys.stdout.write("x" * (2 << 20))
                sys.stdout.flush()
                time.sleep(30)
            if args.mode == "spaced":
                say(f"=== {move.upper()} 0.00 0.0")
            else:
                say(f"=== {move}/0.00/0.0")
            if args.mode == "chatty":
                say("status waiting")
        # Anything else (set depth, set contempt, learn, ...) is ignored, as the document asks.
    if args.ignore_eof:
        time.sleep(60)


if __name__ == "__main__":
    main()
