"""The midgame fast search of two builds side by side in one run: for each round, one
subprocess per build times get_move with the built-in evaluators on the start and a few
midgame positions at several depths; prints the median processor time of each build, their
ratio, and whether every move agreed.

Usage: python bench/search_before_after.py OLD_DIR [NEW_DIR] [rounds]
A directory holds a built veltrix extension; NEW_DIR defaults to the installed one.
"""

import json
import os
import statistics
import subprocess
import sys

TIMING = r"""
import json, random, time
from veltrix import AlphaBetaSearch, Board, LegalNumEvaluator, PieceEvaluator

def midgame(seed, plies):
    rng = random.Random(seed)
    board = Board()
    for _ in range(plies):
        moves = board.get_legal_moves_vec()
        if not moves:
            if board.is_game_over():
                break
            board.do_pass()
            continue
        board.do_move(rng.choice(moves))
    return board

boards = [Board()] + [midgame(seed, plies) for seed, plies in ((0, 16), (1, 20), (2, 24), (3, 28))]
results = {}
for name, evaluator, depths in (("piece", PieceEvaluator(), (6, 8, 10)), ("legal_num", LegalNumEvaluator(), (6, 8))):
    for depth in depths:
        search = AlphaBetaSearch(evaluator, depth)
        start = time.process_time()
        moves = [search.get_move(board) for board in boards]
        results[f"{name} max_depth {depth}"] = (time.process_time() - start, moves)
print(json.dumps(results))
"""


def run(directory):
    env = dict(os.environ)
    if directory:
        env["PYTHONPATH"] = directory
    out = subprocess.run([sys.executable, "-c", TIMING], capture_output=True, text=True, check=True, env=env).stdout
    return json.loads(out)


def main() -> None:
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    old = sys.argv[1]
    new = sys.argv[2] if len(sys.argv) > 2 and sys.argv[2] else None
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    times = {"old": {}, "new": {}}
    same = True
    for _ in range(rounds):
        for label, directory in (("old", old), ("new", new)):
            for key, (seconds, moves) in run(directory).items():
                times[label].setdefault(key, []).append((seconds, moves))
    print(f"median processor time of {rounds} rounds (5 positions per line), old = {old}, new = {new or 'installed'}")
    totals = {"old": 0.0, "new": 0.0}
    for key in times["old"]:
        old_median = statistics.median(t for t, _ in times["old"][key])
        new_median = statistics.median(t for t, _ in times["new"][key])
        agree = times["old"][key][0][1] == times["new"][key][0][1]
        same = same and agree
        totals["old"] += old_median
        totals["new"] += new_median
        print(f"  {key:22s} old {old_median * 1e3:8.1f} ms  new {new_median * 1e3:8.1f} ms  "
              f"new/old {new_median / old_median:5.2f}  moves {'agree' if agree else 'DIFFER'}")
    print(f"  total                  old {totals['old'] * 1e3:8.1f} ms  new {totals['new'] * 1e3:8.1f} ms  "
          f"new/old {totals['new'] / totals['old']:5.2f}  moves {'all agree' if same else 'DIFFER'}")


if __name__ == "__main__":
    main()
