"""Memory kept by searches: RSS of this process after AlphaBetaSearch.get_move has run on each of
N threads that stay alive afterwards (a thread pool's workers, say).

Usage: python bench/search_memory.py [threads] [max_depth]
Run it against two builds (PYTHONPATH pointing at a build's directory) to compare them.
"""

import sys
import threading

import veltrix
from veltrix import AlphaBetaSearch, Board, PieceEvaluator


def rss_mib() -> float:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmRSS line")


def midgame() -> Board:
    board = Board()
    for move in (19, 18, 17, 9, 20, 34, 29, 37, 44, 21, 26, 10, 42, 43):
        if board.is_legal_move(move):
            board.do_move(move)
    return board


def main() -> None:
    threads = int(sys.argv[1]) if len(sys.argv) > 1 else 8
    depth = int(sys.argv[2]) if len(sys.argv) > 2 else 8
    print(f"veltrix from {veltrix.__file__}")
    board = midgame()
    done = threading.Barrier(threads + 1)
    leave = threading.Event()

    def worker() -> None:
        AlphaBetaSearch(PieceEvaluator(), depth).get_move(board)
        done.wait()
        leave.wait()  # the thread lives on, as a pool's worker would

    before = rss_mib()
    pool = [threading.Thread(target=worker) for _ in range(threads)]
    for thread in pool:
        thread.start()
    done.wait()
    after = rss_mib()
    leave.set()
    for thread in pool:
        thread.join()
    print(f"{threads} threads, one search each at max_depth {depth}: RSS {before:.1f} MiB before, "
          f"{after:.1f} MiB after the searches (+{after - before:.1f} MiB)")


if __name__ == "__main__":
    main()
