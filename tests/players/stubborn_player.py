"""A player program that will not go quietly: it ignores SIGTERM and SIGHUP, starts a helper
in its own process group (`sleep 300`, which holds no pipe of ours), answers the handshake and
then never answers a move. Each process leaves a file named after its pid in
VELTRIX_TEST_PID_DIR (the program's is written once it has answered the handshake, the
helper's says "helper"), so a test can check that none of them outlives its host.

Usage: stubborn_player.py COLOUR
"""

import os
import signal
import subprocess
import sys
import time

signal.signal(signal.SIGTERM, signal.SIG_IGN)
signal.signal(signal.SIGHUP, signal.SIG_IGN)
pid_dir = os.environ["VELTRIX_TEST_PID_DIR"]
helper = subprocess.Popen(["sleep", "300"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
with open(os.path.join(pid_dir, str(helper.pid)), "w") as record:
    record.write("helper")
if sys.stdin.readline().strip() == "ping":
    sys.stdout.write("pong\n")
    sys.stdout.flush()
    open(os.path.join(pid_dir, str(os.getpid())), "w").close()
time.sleep(300)
