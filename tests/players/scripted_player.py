"""A player program for the arena tests that plays or misbehaves on command.

Usage: scripted_player.py MODE [OPTION ...] COLOUR

MODE picks the behaviour (see choose() and main() below); COLOUR, "BLACK" or "WHITE", is appended by
the arena. A MODE written "helper+OTHER" first starts a helper process that holds the
program's pipes and outlives it unless its whole process group is ended, then behaves as
OTHER. When VELTRIX_TEST_PID_DIR is set, the program (and its helper) leaves a file named
after its pid there (the helper's says "helper"), so a test can check afterwards that every
process it started is gone.
"""

import os
import random
import subprocess
import sys
import time

import veltrix


def reply(text: str) -> None:
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def legal_moves(line: str, colour: str) -> list[int]:
    board = veltrix.Board()
    board.set_board_str(line, veltrix.Turn.BLACK if colour == "BLACK" else veltrix.Turn.WHITE)
    return board.get_legal_moves_vec()


def handshake(mode: str) -> None:
    ping = sys.stdin.readline()
    if ping.strip() != "ping":
        sys.exit(f"expected ping, got {ping!r}")
    if mode == "wrong-handshake":
        reply("hello")
    elif mode == "capital-pong":
        reply("PONG")
    elif mode == "silent-handshake":
        time.sleep(60)
    elif mode == "exit-at-handshake":
        sys.exit(0)
    elif mode == "close-input":
        # Closed before the pong, so the first move request is sure to meet a closed pipe.
        os.close(0)
        reply("pong")
    else:
        reply("  pong  ")


def choose(mode: str, options: list[str], moves: list[int], line: str, rng: random.Random) -> str:
    """The reply to one position, by mode."""
    if mode == "first":
        return str(moves[0])
    if mode == "last":
        return str(moves[-1])
    if mode == "padded":
        return f" \t{moves[0]}  "
    if mode == "random":
        return str(rng.choice(moves))
    if mode == "garbage":
        return "19abc"
    if mode == "negative":
        return "-1"
    if mode == "empty":
        return ""
    if mode == "out-of-range":
        return options[0] if options else "64"
    if mode == "occupied":
        return str(line.index("X"))
    if mode == "once":
        # Misbehaves at the first move request that any process of the test meets, then plays.
        kind, marker = options
        try:
            os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
        except FileExistsError:
            return str(moves[0])
        if kind == "exit":
            sys.exit(3)  # the request finds the end of the stream
        if kind == "crash":
            # Stops reading, then answers: the next request cannot be written.
            os.close(0)
            reply(str(moves[0]))
            time.sleep(30)
        if kind == "hang":
            time.sleep(4)
        return "64" if kind == "illegal" else str(moves[0])
    if mode == "garbage-at-discs":
        # Fails in exactly the games that ask it about a position of that many discs: with
        # openings chosen for it, a failure at a known game index.
        discs = sum(square != "-" for square in line)
        return "19abc" if discs == int(options[0]) else str(moves[0])
    if mode == "slow":
        # The first move of this process only, so that a game takes one long wait per side.
        if not getattr(choose, "waited", False):
            choose.waited = True
            time.sleep(float(options[0]))
        return str(moves[0])
    raise SystemExit(f"unknown mode {mode!r}")


def main() -> None:
    args = sys.argv[1:]
    mode, options, colour = args[0], args[1:-1], args[-1]
    pid_dir = os.environ.get("VELTRIX_TEST_PID_DIR")
    if pid_dir:
        open(os.path.join(pid_dir, str(os.getpid())), "w").close()
    if mode.startswith("helper+"):
        mode = mode.removeprefix("helper+")
        helper = subprocess.Popen(["sleep", "60"])  # inherits standard input and output
        if pid_dir:
            with open(os.path.join(pid_dir, str(helper.pid)), "w") as record:
                record.write("helper")
    log = open(options[0], "a") if mode == "log-random" else None
    rng = random.Random(f"{colour}-7")
    handshake(mode)
    if mode == "close-input":
        time.sleep(60)
    answered = 0
    for line in sys.stdin:
        line = line.strip()
        moves = legal_moves(line, colour)
        if mode == "silent":
            time.sleep(60)
        if mode == "late":
            time.sleep(6)
        if mode == "flood":
            sys.stdout.write("1" * (1 << 20))
            sys.stdout.flush()
            time.sleep(60)
        if mode == "exit-mid-game" and answered == int(options[0]):
            sys.exit(0)
        if mode == "log-random":
            # A position in which this side must pass is never to be sent.
            log.write(f"{colour} {line} {len(moves)}\n")
            log.flush()
            reply(str(rng.choice(moves)) if moves else "pass-was-sent")
        elif mode in ("exit-mid-game", "late"):
            reply(str(moves[0]))
        else:
            reply(choose(mode, options, moves, line, rng))
        answered += 1


if __name__ == "__main__":
    main()
